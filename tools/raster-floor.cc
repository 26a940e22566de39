// The least work a raster filter can do: read every page of a CUPS raster
// stream on standard input with libcups and write its pixel bytes to standard
// output. The benchmark compares the label filter against it.
#include <cups/raster.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main() {
  cups_raster_t* ras = cupsRasterOpen(0, CUPS_RASTER_READ);
  if (ras == nullptr) {
    std::fputs("ERROR: no raster data\n", stderr);
    return 1;
  }
  cups_page_header2_t header;
  std::vector<unsigned char> page;
  int pages = 0;
  while (cupsRasterReadHeader2(ras, &header) != 0) {
    const uint64_t bytes = uint64_t{header.cupsHeight} * header.cupsBytesPerLine;
    if (bytes == 0 || bytes > (uint64_t{256} << 20)) break;
    page.resize(static_cast<size_t>(bytes));
    if (cupsRasterReadPixels(ras, page.data(), static_cast<unsigned>(bytes)) == 0) break;
    if (std::fwrite(page.data(), 1, page.size(), stdout) != page.size()) break;
    ++pages;
  }
  cupsRasterClose(ras);
  std::fflush(stdout);
  std::fprintf(stderr, "INFO: %d pages\n", pages);
  return pages > 0 ? 0 : 1;
}
