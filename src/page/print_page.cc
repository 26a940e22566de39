#include "page/print_page.h"

#include <cstdio>
#include <vector>

// Placeholder until page output lands: it reads the page's pixels and sends
// nothing.
int printPage(cups_raster_t* ras, cups_page_header_t* header, const settings_t*, const int32_t* pageNumber,
              uint32_t) {
  const uint64_t bytes = uint64_t{header->cupsHeight} * header->cupsBytesPerLine;
  if (bytes == 0 || bytes > (uint64_t{256} << 20)) {
    std::fprintf(stderr, "ERROR: Page %d has an unusable size and was not printed.\n", *pageNumber);
    return 1;
  }
  std::vector<unsigned char> pixels(static_cast<size_t>(bytes));
  if (cupsRasterReadPixels(ras, pixels.data(), static_cast<unsigned>(bytes)) == 0) {
    std::fprintf(stderr, "ERROR: The raster data of page %d ended early or is damaged; the page was not printed.\n",
                 *pageNumber);
    return 1;
  }
  return 0;
}
