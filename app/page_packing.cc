#include "page_packing.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "page/print_page.h"

unsigned dots(int hundredths, unsigned resolution) {
  return hundredths > 0 ? static_cast<unsigned>(static_cast<uint64_t>(hundredths) * resolution / 2540) : 0;
}

PageChoice choosePage(const cups_page_header2_t& given, const cups_page_header2_t* client, unsigned labelWidth,
                      unsigned labelLength) {
  PageChoice choice;
  PageLayout& page = choice.layout;
  // The page as the rows come: PAPPL's header, or the client's where PAPPL
  // kept its own for rows of fewer bits; then the client's rows come up to
  // the shorter of the two pages, and blank rows after them.
  cups_page_header2_t in = given;
  unsigned rows = in.cupsHeight;
  if (client != nullptr && client->cupsBitsPerPixel < 8 && in.cupsBitsPerPixel >= 8) {
    in = *client;
    rows = std::min(client->cupsHeight, given.cupsHeight);
  }
  page.bitsPerPixel = in.cupsBitsPerPixel;
  if (in.cupsBitsPerPixel != 1 && (in.cupsBitsPerPixel < 8 || in.cupsBitsPerPixel % 8 != 0)) {
    choice.refusal = PageRefusal::bitsPerPixel;
    return choice;
  }
  // PAPPL checks the row length against the width in 32 bits, so a width
  // that wraps there passes with rows far shorter than it claims.
  if ((uint64_t{in.cupsWidth} * in.cupsBitsPerPixel + 7) / 8 > in.cupsBytesPerLine) {
    choice.refusal = PageRefusal::shortRows;
    return choice;
  }
  page.ink = fieldNumber(in.cupsColorSpace) == CUPS_CSPACE_K;
  page.width = labelWidth > 0 ? std::min(in.cupsWidth, labelWidth) : in.cupsWidth;
  page.height = labelLength > 0 ? std::min(rows, labelLength) : rows;
  page.bytesPerLine = (page.width + 7) / 8;
  page.resolution[0] = in.HWResolution[0];
  page.resolution[1] = in.HWResolution[1];
  // The page is gathered whole before the filter gets it: one the filter
  // would refuse is refused before it takes the memory. Only a label of no
  // size, or of a size beyond the printers', lets one through.
  if (uint64_t{page.height} * page.bytesPerLine > kLargestPageImage) choice.refusal = PageRefusal::tooLarge;
  return choice;
}

namespace {

// The top bits of eight bytes as one byte, the first byte's in bit 7.
inline unsigned topBits(const unsigned char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  // The first byte is now the most significant; the multiplication moves
  // the top bit of the byte i places from the least significant to bit
  // 56 + i, with no two bits meeting.
  return static_cast<unsigned>(((word & 0x8080808080808080u) * 0x0002040810204081u) >> 56);
}

#if defined(__SSE2__)
// Each byte with its bits in the opposite order.
constexpr std::array<unsigned char, 256> kReversed = [] {
  std::array<unsigned char, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned reversed = 0;
    for (unsigned bit = 0; bit < 8; ++bit) reversed |= ((i >> bit) & 1) << (7 - bit);
    table[i] = static_cast<unsigned char>(reversed);
  }
  return table;
}();
#endif

// One row of 8-bit gray (or device black, `black` set) as 1-bit black,
// `width` pixels: a pixel is black below the middle gray (device black:
// from the middle up), that is by the top bit of its byte.
void threshold(const unsigned char* gray, unsigned width, bool black, unsigned char* row) {
  const unsigned flip = black ? 0x00 : 0xFF;
  unsigned x = 0;
#if defined(__SSE2__)
  // Sixteen at a time: the top bits of sixteen bytes, the first byte's in
  // bit 0, turned around byte by byte.
  for (; x + 16 <= width; x += 16) {
    const auto top = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(gray + x))));
    *row++ = static_cast<unsigned char>(kReversed[top & 0xFF] ^ flip);
    *row++ = static_cast<unsigned char>(kReversed[top >> 8] ^ flip);
  }
#endif
  for (; x + 8 <= width; x += 8) *row++ = static_cast<unsigned char>(topBits(gray + x) ^ flip);
  if (x < width) {
    unsigned bits = 0;
    for (unsigned i = 0; x + i < width; ++i) bits |= ((gray[x + i] >> 7) ^ (flip & 1)) << (7 - i);
    *row = static_cast<unsigned char>(bits);
  }
}

}  // namespace

void packRow(const PageLayout& layout, const unsigned char* line, unsigned char* row) {
  if (layout.bitsPerPixel == 1) {
    const unsigned char flip = layout.ink ? 0x00 : 0xFF;
    for (unsigned i = 0; i < layout.bytesPerLine; ++i) row[i] = line[i] ^ flip;
    if (layout.width % 8 != 0) {
      row[layout.bytesPerLine - 1] &= static_cast<unsigned char>(0xFF00 >> (layout.width % 8));
    }
  } else if (layout.bitsPerPixel == 8) {
    threshold(line, layout.width, layout.ink, row);
  } else {
    // Wider pixels: the first byte of each counts.
    const unsigned step = layout.bitsPerPixel / 8;
    const unsigned flip = layout.ink ? 0 : 1;
    std::fill_n(row, layout.bytesPerLine, 0);
    for (unsigned x = 0; x < layout.width; ++x) {
      row[x / 8] |= static_cast<unsigned char>(((line[size_t{x} * step] >> 7) ^ flip) << (7 - x % 8));
    }
  }
}

FilterRaster::FilterRaster() : raster_(cupsRasterOpenIO(gather, this, CUPS_RASTER_WRITE)) {}

FilterRaster::~FilterRaster() { close(); }

ssize_t FilterRaster::gather(void* context, unsigned char* bytes, size_t length) {
  auto& pending = static_cast<FilterRaster*>(context)->pending_;
  pending.insert(pending.end(), bytes, bytes + length);
  return static_cast<ssize_t>(length);
}

bool FilterRaster::startPage(const PageLayout& layout) {
  page_ = layout;
  cups_page_header2_t out{};
  out.HWResolution[0] = layout.resolution[0];
  out.HWResolution[1] = layout.resolution[1];
  out.PageSize[0] = static_cast<unsigned>(uint64_t{layout.width} * 72 / std::max(layout.resolution[0], 1u));
  out.PageSize[1] = static_cast<unsigned>(uint64_t{layout.height} * 72 / std::max(layout.resolution[1], 1u));
  out.NumCopies = 1;
  out.cupsWidth = layout.width;
  out.cupsHeight = layout.height;
  out.cupsBitsPerColor = 1;
  out.cupsBitsPerPixel = 1;
  out.cupsBytesPerLine = layout.bytesPerLine;
  out.cupsColorOrder = CUPS_ORDER_CHUNKED;
  out.cupsColorSpace = CUPS_CSPACE_K;
  out.cupsNumColors = 1;
  return startPage(out);
}

bool FilterRaster::startPage(cups_page_header2_t header) {
  return raster_ != nullptr && cupsRasterWriteHeader2(raster_, &header) != 0;
}

unsigned char* FilterRaster::addBytes(size_t bytes) {
  const size_t at = pending_.size();
  pending_.resize(at + bytes);
  return pending_.data() + at;
}

void FilterRaster::addRow(unsigned y, const unsigned char* line) {
  if (y >= page_.height) return;
  packRow(page_, line, addBytes(page_.bytesPerLine));
}

void FilterRaster::close() {
  if (raster_ != nullptr) cupsRasterClose(raster_);
  raster_ = nullptr;
}
