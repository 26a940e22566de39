// A raster stream through the page path: every page header libcups reads
// from the input goes to printPage, and what printPage sends is read back and
// must be the page as libcups gives it, turned as asked, in bands of at most
// 200 rows at their true start rows, between SOT (and SOB) and its cut and
// print commands. A page that fails must send nothing. The first input byte
// chooses the rotation, the band form, the cutter and the copies; the rest is
// the stream.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/output.h"
#include "decode/printer_stream.h"
#include "fuzz/raster_memory.h"
#include "fuzz/sink.h"
#include "page/print_page.h"
#include "page/raster.h"

namespace {

// Pages above this are skipped: libcups' compressed form makes pages of tens
// of megabytes from a few bytes, and each costs seconds under the sanitizers.
// Pages above the filter's own limit still go through, to be refused.
constexpr uint64_t kLargestFuzzedPage = uint64_t{8} << 20;

uint64_t imageBytes(const cups_page_header_t& header, int32_t rotation) {
  const uint64_t pixels = uint64_t{header.cupsHeight} * header.cupsBytesPerLine;
  const uint64_t turned =
      rotation == 1 || rotation == 3 ? uint64_t{header.cupsWidth} * ((uint64_t{header.cupsHeight} + 7) / 8) : 0;
  return std::max(pixels, turned);
}

bool tooSlowToFuzz(const cups_page_header_t& header, int32_t rotation) {
  const uint64_t bytes = imageBytes(header, rotation);
  return bytes > kLargestFuzzedPage && bytes <= kLargestPageImage;
}

// The page as the printer should get it, from a second reader of the same
// stream; nothing for a header that is no 1-bit page the fuzzer takes, or
// pixels that cannot be read: printPage must fail those.
std::optional<Image> expectedImage(cups_raster_t* reference, const cups_page_header_t& header, int32_t rotation) {
  cups_page_header_t same{};
  if (readPageHeader(reference, &same) == 0) __builtin_trap();
  const bool onePixelRows = header.cupsBitsPerPixel == 1 && header.cupsWidth > 0 && header.cupsHeight > 0 &&
                            header.cupsWidth <= uint64_t{header.cupsBytesPerLine} * 8;
  if (!onePixelRows || imageBytes(header, rotation) > kLargestFuzzedPage) return std::nullopt;
  Image page{header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine, {}};
  page.pixels.resize(size_t{page.height} * page.bytesPerLine);
  const auto size = static_cast<unsigned>(page.pixels.size());
  if (cupsRasterReadPixels(reference, page.pixels.data(), size) != size) return std::nullopt;
  // Unturned rows go out as read, padding and all; turned ones are made anew
  // from the image's pixels, padded with 0.
  return turnedByDefinition(page, rotation);
}

std::vector<std::string> expectedTail(const settings_t& settings, int32_t pageNumber, uint32_t copies) {
  std::vector<std::string> tail;
  if (copies <= 1 && settings.cutter != 0 && pageNumber > 1) {
    tail.emplace_back(settings.cutPeriod != 0 && pageNumber % settings.cutPeriod == 0 ? "CUTy,1" : "CUTn");
  }
  tail.push_back(copies > 1 ? "P1," + std::to_string(copies) : "P1");
  return tail;
}

void checkSentPage(std::string_view sent, const Image& expected, const settings_t& settings, int32_t pageNumber,
                   uint32_t copies) {
  const DecodedStream decoded = decodeStream(sent);
  if (!decoded.problems.empty() || !decoded.setup.empty() || decoded.pages.size() != 1) __builtin_trap();
  const PrintedPage& page = decoded.pages[0];
  const std::vector<std::string> orientation =
      settings.rotation == 2 ? std::vector<std::string>{"SOT", "SOB"} : std::vector<std::string>{"SOT"};
  if (page.before != orientation || page.after != expectedTail(settings, pageNumber, copies)) __builtin_trap();
  if (page.image.bytesPerLine != expected.bytesPerLine || page.rows != expected.height ||
      page.image.pixels != expected.pixels) {
    __builtin_trap();
  }
  // The printer places a band at its start row: a field that wrapped at 16
  // bits would put it over an earlier one.
  uint32_t row = 0;
  for (const StreamItem& band : page.bands) {
    if (band.startRow != row || band.rows != std::min(expected.height - row, 200u) ||
        band.compressed != (settings.compressed == 1)) {
      __builtin_trap();
    }
    row += band.rows;
  }
  if (row != expected.height) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keepPrinterStream();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  settings_t settings{};
  settings.rotation = control & 3;
  settings.compressed = (control >> 2) & 1;
  settings.cutter = (control >> 3) & 1;
  settings.cutPeriod = (control >> 4) & 3;
  const uint32_t copies = control >> 6;

  clearPrinterStream();
  const MemoryRaster stream(data + 1, size - 1), again(data + 1, size - 1);
  cups_raster_t* ras = stream.get();
  cups_raster_t* reference = again.get();
  if (ras == nullptr || reference == nullptr) return 0;  // no raster sync word
  cups_page_header_t header{};
  int32_t pages = 0;
  while (readPageHeader(ras, &header) != 0 && !tooSlowToFuzz(header, settings.rotation)) {
    ++pages;
    const std::optional<Image> expected = expectedImage(reference, header, settings.rotation);
    flushOutput();
    const size_t sentBefore = keptLength();
    const int result = printPage(ras, &header, &settings, &pages, copies);
    flushOutput();
    const std::string sent = keptPrinterStream(sentBefore);
    if (result != 0) {
      if (!sent.empty()) __builtin_trap();
      break;
    }
    if (!expected) __builtin_trap();
    checkSentPage(sent, *expected, settings, pages, copies);
  }
  return 0;
}
