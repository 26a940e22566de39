// Writes a sample job to standard output: one 2 x 1 inch label at 203 dpi as
// 1-bit CUPS raster, with a frame, a bar pattern and a blank band, the way a
// rendering filter would hand it to the label filter.
#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main() {
  constexpr unsigned kWidth = 406, kHeight = 203, kBytesPerLine = (kWidth + 7) / 8;
  cups_raster_t* ras = cupsRasterOpen(1, CUPS_RASTER_WRITE);
  if (ras == nullptr) {
    std::fputs("ERROR: cannot open the raster stream\n", stderr);
    return 1;
  }
  cups_page_header2_t header{};
  header.cupsWidth = kWidth;
  header.cupsHeight = kHeight;
  header.cupsBitsPerPixel = 1;
  header.cupsBitsPerColor = 1;
  header.cupsBytesPerLine = kBytesPerLine;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.HWResolution[0] = header.HWResolution[1] = 203;
  header.PageSize[0] = 144;
  header.PageSize[1] = 72;
  header.NumCopies = 1;
  std::vector<uint8_t> page(size_t{kBytesPerLine} * kHeight, 0);
  auto set = [&](unsigned x, unsigned y) { page[size_t{y} * kBytesPerLine + x / 8] |= uint8_t(0x80u >> (x % 8)); };
  for (unsigned y = 8; y < kHeight - 8; ++y) {
    for (unsigned x = 8; x < kWidth - 8; ++x) {
      const bool frame = y < 12 || y >= kHeight - 12 || x < 12 || x >= kWidth - 12;
      const bool bars = y >= 40 && y < 150 && x >= 40 && x < 366 && ((x * 7) % 13) < 5;
      if (frame || bars) set(x, y);
    }
  }
  if (cupsRasterWriteHeader2(ras, &header) == 0 ||
      cupsRasterWritePixels(ras, page.data(), static_cast<unsigned>(page.size())) != page.size()) {
    std::fputs("ERROR: cannot write the sample page\n", stderr);
    cupsRasterClose(ras);
    return 1;
  }
  cupsRasterClose(ras);
  return 0;
}
