// Writes synthetic 1-bit CUPS raster jobs to standard output, for
// benchmarks and experiments:
//   make-test-raster blank|noise WIDTH HEIGHT [PAGES] [DPI]
// "blank" pages are white but for a thin frame; "noise" pages hold random
// pixels, the worst case for run-length coding.
#include <cups/raster.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

// libcups leaves errno as its failed write set it.
const char* reason() { return errno != 0 ? std::strerror(errno) : "libcups gave no reason"; }

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 4 || (std::strcmp(argv[1], "blank") != 0 && std::strcmp(argv[1], "noise") != 0)) {
    std::fputs("usage: make-test-raster blank|noise WIDTH HEIGHT [PAGES] [DPI]\n", stderr);
    return 1;
  }
  const bool noise = std::strcmp(argv[1], "noise") == 0;
  const auto width = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const auto height = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  const int pages = argc > 4 ? std::atoi(argv[4]) : 1;
  const auto dpi = static_cast<unsigned>(argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 203);
  if (width == 0 || height == 0 || pages < 1 || dpi == 0) {
    std::fputs("make-test-raster: sizes must be positive\n", stderr);
    return 1;
  }
  const unsigned bytesPerLine = (width + 7) / 8;
  // A short job would pass for a whole one in a benchmark: a failed write is
  // reported and fails the run.
  errno = 0;
  cups_raster_t* ras = cupsRasterOpen(1, CUPS_RASTER_WRITE);
  if (ras == nullptr) {
    std::fprintf(stderr, "ERROR: cannot start the raster on standard output: %s\n", reason());
    return 1;
  }
  cups_page_header2_t header{};
  header.cupsWidth = width;
  header.cupsHeight = height;
  header.cupsBitsPerPixel = header.cupsBitsPerColor = 1;
  header.cupsBytesPerLine = bytesPerLine;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.HWResolution[0] = header.HWResolution[1] = dpi;
  header.PageSize[0] = width * 72 / dpi;
  header.PageSize[1] = height * 72 / dpi;
  header.NumCopies = 1;
  std::mt19937 random(12345);
  std::vector<unsigned char> page(size_t{bytesPerLine} * height);
  for (int p = 0; p < pages; ++p) {
    if (noise) {
      for (auto& byte : page) byte = static_cast<unsigned char>(random());
    } else {
      std::memset(page.data(), 0, page.size());
      std::memset(page.data(), 0xFF, bytesPerLine);
      std::memset(page.data() + page.size() - bytesPerLine, 0xFF, bytesPerLine);
    }
    errno = 0;
    if (cupsRasterWriteHeader2(ras, &header) == 0 ||
        cupsRasterWritePixels(ras, page.data(), static_cast<unsigned>(page.size())) != page.size()) {
      std::fprintf(stderr, "ERROR: cannot write page %d of the raster: %s\n", p + 1, reason());
      cupsRasterClose(ras);
      return 1;
    }
  }
  cupsRasterClose(ras);
  return 0;
}
