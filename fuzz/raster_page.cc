// A raster stream through the page path: every page header libcups reads
// from the input goes to printPage. The first input byte chooses the
// rotation, the band form, the cutter and the copies; the rest is the stream.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz/sink.h"
#include "page/print_page.h"
#include "page/raster.h"

namespace {

struct Memory {
  const uint8_t* data;
  size_t size;
};

ssize_t readMemory(void* context, unsigned char* buffer, size_t length) {
  auto& memory = *static_cast<Memory*>(context);
  const size_t count = std::min(length, memory.size);
  std::memcpy(buffer, memory.data, count);
  memory.data += count;
  memory.size -= count;
  return static_cast<ssize_t>(count);
}

// Pages above this are skipped: libcups' compressed form makes pages of tens
// of megabytes from a few bytes, and each costs seconds under the sanitizers.
// Pages above the filter's own limit still go through, to be refused.
constexpr uint64_t kLargestFuzzedPage = uint64_t{8} << 20;

bool tooSlowToFuzz(const cups_page_header_t& header, int32_t rotation) {
  const uint64_t pixels = uint64_t{header.cupsHeight} * header.cupsBytesPerLine;
  const uint64_t turned =
      rotation == 1 || rotation == 3 ? uint64_t{header.cupsWidth} * ((uint64_t{header.cupsHeight} + 7) / 8) : 0;
  const uint64_t bytes = std::max(pixels, turned);
  return bytes > kLargestFuzzedPage && bytes <= kLargestPageImage;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sendFilterOutputNowhere();
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

  Memory memory{data + 1, size - 1};
  cups_raster_t* ras = cupsRasterOpenIO(readMemory, &memory, CUPS_RASTER_READ);
  if (ras == nullptr) return 0;
  cups_page_header_t header{};
  int32_t pages = 0;
  while (readPageHeader(ras, &header) != 0 && !tooSlowToFuzz(header, settings.rotation)) {
    ++pages;
    if (printPage(ras, &header, &settings, &pages, copies) != 0) break;
  }
  cupsRasterClose(ras);
  return 0;
}
