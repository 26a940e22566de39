#include "support/raster_writer.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support/temp_dir.h"

uint32_t bytesPerLineOf(const TestPage& page) {
  return page.bytesPerLine != 0 ? page.bytesPerLine : (page.width * page.bitsPerPixel + 7) / 8;
}

TestPage patternPage(uint32_t width, uint32_t height, uint32_t seed) {
  TestPage page{width, height, 1, 0, {}};
  const uint32_t bpl = bytesPerLineOf(page);
  page.pixels.resize(size_t{bpl} * height);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < page.pixels.size(); ++i) {
    state = state * 1103515245u + 12345u;
    const uint32_t kind = (state >> 16) % 4;
    page.pixels[i] = kind == 0 ? 0x00 : kind == 1 ? 0xFF : static_cast<uint8_t>(state >> 24);
  }
  return page;
}

std::string makeRaster(const std::vector<TestPage>& pages) {
  TempDir dir;
  const std::string path = dir.path() + "/job.ras";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create raster file");
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  for (const TestPage& page : pages) {
    cups_page_header2_t header{};
    header.cupsWidth = page.width;
    header.cupsHeight = page.height;
    header.cupsBitsPerPixel = page.bitsPerPixel;
    header.cupsBitsPerColor = page.bitsPerPixel == 24 ? 8 : page.bitsPerPixel;
    header.cupsColorSpace = page.bitsPerPixel == 24 ? CUPS_CSPACE_RGB : CUPS_CSPACE_K;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsBytesPerLine = bytesPerLineOf(page);
    header.HWResolution[0] = header.HWResolution[1] = 203;
    header.PageSize[0] = page.width * 72 / 203;
    header.PageSize[1] = page.height * 72 / 203;
    header.NumCopies = 1;
    if (cupsRasterWriteHeader2(ras, &header) == 0) throw std::runtime_error("cupsRasterWriteHeader2 failed");
    std::vector<uint8_t> pixels = page.pixels;
    if (pixels.empty()) pixels = patternPage(page.width, page.height).pixels;
    pixels.resize(size_t{header.cupsBytesPerLine} * page.height);
    if (!pixels.empty() &&
        cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size())) != pixels.size()) {
      throw std::runtime_error("cupsRasterWritePixels failed");
    }
  }
  cupsRasterClose(ras);
  close(fd);
  return readFile(path);
}
