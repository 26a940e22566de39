// The printer application's page path: a client's PWG or Apple raster stream
// is read with libcups as PAPPL 1.3.1 reads it, and each page goes through
// the app's page choice, row packing and gathering as PAPPL hands it over.
// The CUPS raster the filter would get is read back with libcups, and every
// page must be the client's page cut to the label (the smaller of the two in
// each direction, in the printer's dots), each pixel black as the app
// thresholds it: a 1-bit page as sent (inverted unless device black), 8-bit
// black below the middle gray (from the middle up for device black), wider
// pixels by their first byte; the bits past the width 0. A page the app must
// refuse ends the job and sends nothing of itself.
//
// The first byte chooses the stream's form (bits 0-1: PWG raster, Apple
// raster, or the stream as given with its own sync word) and the printer's
// resolution (bits 2-3); the second the label's width (bits 0-2) and length
// (bits 3-5). The rest is the stream.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/page_packing.h"
#include "fuzz/raster_memory.h"
#include "page/print_page.h"

namespace {

// Label sides in hundredths of millimetres: from PAPPL's smallest roll size
// (0.5 in) to the largest the drivers offer (4 in wide, 50 in long), and one
// far beyond, as a custom size typed on PAPPL's media page can be.
constexpr std::array<int, 8> kLabelSides{1270, 1905, 2540, 3810, 5080, 10160, 127000, 2540000};
constexpr std::array<unsigned, 4> kResolutions{203, 300, 600, 203};

// A client's pages are read through, past the label too, as PAPPL reads them;
// an input whose pages would make libcups decompress more than this is cut
// short before the page that goes over. A row costs a little beyond its bytes.
constexpr uint64_t kReadBudget = uint64_t{16} << 20;
constexpr uint64_t kRowCost = 16;

// PAPPL's check of a client's page header, as it computes it: the row length
// in 32 bits.
bool papplTakes(const cups_page_header2_t& h) {
  return h.cupsWidth != 0 && h.cupsHeight != 0 && (h.cupsBitsPerColor == 1 || h.cupsBitsPerColor == 8) &&
         fieldNumber(h.cupsColorOrder) == CUPS_ORDER_CHUNKED &&
         h.cupsBytesPerLine == (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8;
}

// Whether pixel x of a client's row is black.
bool black(const cups_page_header2_t& client, const unsigned char* row, unsigned x) {
  const bool ink = fieldNumber(client.cupsColorSpace) == CUPS_CSPACE_K;
  if (client.cupsBitsPerPixel == 1) return (((row[x / 8] >> (7 - x % 8)) & 1) != 0) == ink;
  const unsigned char first = row[size_t{x} * (client.cupsBitsPerPixel / 8)];
  return (first >= 128) == ink;
}

// What the filter must get for one page.
struct ExpectedPage {
  unsigned width = 0, height = 0, bytesPerLine = 0;
  unsigned resolution[2] = {0, 0};
  unsigned rows = 0;  // handed over within the label; fewer than `height` when the client's rows ran out
  std::vector<unsigned char> pixels;

  void addRow(const cups_page_header2_t& client, const unsigned char* row) {
    const size_t at = pixels.size();
    pixels.resize(at + bytesPerLine);
    for (unsigned x = 0; x < width; ++x) {
      if (black(client, row, x)) pixels[at + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
    ++rows;
  }
};

// Reads what the app gathered for the filter, as the filter does.
void checkFilterInput(const std::vector<unsigned char>& sent, const std::vector<ExpectedPage>& pages) {
  const MemoryRaster back(sent.data(), sent.size());
  if (back.get() == nullptr) {
    if (!sent.empty()) __builtin_trap();
    return;
  }
  cups_page_header2_t header;
  std::vector<unsigned char> row;
  for (const ExpectedPage& page : pages) {
    if (cupsRasterReadHeader2(back.get(), &header) == 0) __builtin_trap();
    if (header.cupsWidth != page.width || header.cupsHeight != page.height || header.cupsBitsPerPixel != 1 ||
        header.cupsBitsPerColor != 1 || header.cupsBytesPerLine != page.bytesPerLine ||
        header.cupsColorSpace != CUPS_CSPACE_K || header.cupsColorOrder != CUPS_ORDER_CHUNKED ||
        header.HWResolution[0] != page.resolution[0] || header.HWResolution[1] != page.resolution[1]) {
      __builtin_trap();
    }
    row.resize(page.bytesPerLine);
    for (unsigned y = 0; y < page.rows; ++y) {
      const auto want = page.pixels.begin() + static_cast<ptrdiff_t>(size_t{y} * page.bytesPerLine);
      if (cupsRasterReadPixels(back.get(), row.data(), page.bytesPerLine) != page.bytesPerLine ||
          !std::equal(row.begin(), row.end(), want)) {
        __builtin_trap();
      }
    }
    // The filter finds a page cut short damaged; what follows it is read as
    // its rows.
    if (page.rows < page.height) return;
  }
  if (cupsRasterReadHeader2(back.get(), &header) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned form = data[0] & 3, resolution = kResolutions[(data[0] >> 2) & 3];
  const int labelWidth = kLabelSides[data[1] & 7], labelLength = kLabelSides[(data[1] >> 3) & 7];
  std::string_view sync;
  if (form == 0) sync = std::string_view("RaS2", 4);
  if (form == 1) sync = std::string_view("UNIRAST\0\0\0\0\1", 12);  // and the page count
  std::vector<uint8_t> stream(sync.begin(), sync.end());
  stream.insert(stream.end(), data + 2, data + size);

  const MemoryRaster client(stream.data(), stream.size());
  cups_page_header2_t page{};
  if (client.get() == nullptr || cupsRasterReadHeader2(client.get(), &page) == 0) return 0;

  // PAPPL's own header for the job: 8-bit gray on the label.
  pwg_media_t media{"custom", nullptr, nullptr, labelWidth, labelLength};
  cups_page_header2_t pappl{};
  if (cupsRasterInitPWGHeader(&pappl, &media, "sgray_8", static_cast<int>(resolution), static_cast<int>(resolution),
                              "one-sided", "normal") == 0) {
    __builtin_trap();
  }
  const unsigned labelDotsWide = dots(labelWidth, resolution), labelDotsLong = dots(labelLength, resolution);

  FilterRaster raster;
  std::vector<unsigned char> sent;
  std::vector<ExpectedPage> expected;
  uint64_t budget = kReadBudget;
  do {
    // PAPPL ends the job at a header it does not take. Pages of more than
    // 8 bits it takes only for a driver with color, which ours are not; the
    // app takes them all the same, so they go through.
    if (!papplTakes(page)) break;
    const cups_page_header2_t given = pappl.cupsBitsPerPixel >= 8 && page.cupsBitsPerPixel >= 8 ? page : pappl;
    const PageChoice choice = choosePage(given, &page, labelDotsWide, labelDotsLong);

    ExpectedPage want;
    want.width = std::min(page.cupsWidth, labelDotsWide);
    want.height = std::min(page.cupsHeight, labelDotsLong);
    want.bytesPerLine = (want.width + 7) / 8;
    want.resolution[0] = page.HWResolution[0];
    want.resolution[1] = page.HWResolution[1];
    const unsigned bits = page.cupsBitsPerPixel;
    const bool refused = (bits != 1 && (bits < 8 || bits % 8 != 0)) ||
                         uint64_t{page.cupsWidth} * bits > uint64_t{page.cupsBytesPerLine} * 8 ||
                         uint64_t{want.height} * want.bytesPerLine > kLargestPageImage;
    if (refused != (choice.refusal != PageRefusal::none)) __builtin_trap();
    if (refused) break;

    const uint64_t cost = uint64_t{page.cupsHeight} * (page.cupsBytesPerLine + kRowCost) + given.cupsHeight;
    if (cost > budget) break;
    budget -= cost;

    if (!raster.startPage(choice.layout)) __builtin_trap();
    // PAPPL's row loop: the client's rows up to the shorter page, read into
    // a row as long as the longer of the two rows (blank beyond the client's),
    // then the client's remaining rows dropped, or blank rows up to PAPPL's
    // page.
    const bool longerRows = given.cupsBytesPerLine > page.cupsBytesPerLine;
    std::vector<unsigned char> pixels(longerRows ? given.cupsBytesPerLine : page.cupsBytesPerLine,
                                      fieldNumber(given.cupsColorSpace) == CUPS_CSPACE_K ? 0x00 : 0xFF);
    unsigned y = 0;
    for (; y < page.cupsHeight && y < given.cupsHeight; ++y) {
      if (cupsRasterReadPixels(client.get(), pixels.data(), page.cupsBytesPerLine) == 0) break;
      raster.addRow(y, pixels.data());
      if (y < want.height) want.addRow(page, pixels.data());
    }
    if (y < page.cupsHeight) {
      for (; y < page.cupsHeight; ++y) cupsRasterReadPixels(client.get(), pixels.data(), page.cupsBytesPerLine);
    } else {
      const unsigned space = fieldNumber(page.cupsColorSpace);
      const bool ink = space == CUPS_CSPACE_K || space == CUPS_CSPACE_CMYK;
      std::fill_n(pixels.begin(), page.cupsBytesPerLine, ink ? 0x00 : 0xFF);
      for (; y < given.cupsHeight; ++y) raster.addRow(y, pixels.data());
    }
    // The page's end: the app sends what it gathered.
    sent.insert(sent.end(), raster.pending().begin(), raster.pending().end());
    raster.pending().clear();
    expected.push_back(std::move(want));
  } while (cupsRasterReadHeader2(client.get(), &page) != 0);
  raster.close();
  sent.insert(sent.end(), raster.pending().begin(), raster.pending().end());
  checkFilterInput(sent, expected);
  return 0;
}
