// CUPS raster streams put together byte by byte, for what libcups' writer
// will not write: headers it refuses, version-1 streams, the compressed
// form beside its other forms.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/raster_writer.h"
#include "support/temp_dir.h"

// The header of a 1-bit page of `width` x `height` pixels in rows of
// `bytesPerLine` bytes (0: as many as the width needs).
inline cups_page_header2_t oneBitHeader(uint32_t width, uint32_t height, uint32_t bytesPerLine = 0) {
  cups_page_header2_t header{};
  header.cupsWidth = width;
  header.cupsHeight = height;
  header.cupsBitsPerPixel = 1;
  header.cupsBitsPerColor = 1;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsBytesPerLine = bytesPerLine != 0 ? bytesPerLine : (width + 7) / 8;
  header.HWResolution[0] = header.HWResolution[1] = 203;
  return header;
}

struct HandPage {
  cups_page_header2_t header;
  std::string pixels;  // sent as they are, however many the header asks for
};

// An uncompressed stream in this machine's byte order: version 3, or
// version 1 with its shorter header.
inline std::string handRaster(const std::vector<HandPage>& pages, bool versionOne = false) {
  const uint32_t sync = versionOne ? CUPS_RASTER_SYNCv1 : CUPS_RASTER_SYNC;
  std::string stream(reinterpret_cast<const char*>(&sync), sizeof sync);
  for (const HandPage& page : pages) {
    const size_t headerBytes = versionOne ? sizeof(cups_page_header_t) : sizeof(cups_page_header2_t);
    stream.append(reinterpret_cast<const char*>(&page.header), headerBytes);
    stream += page.pixels;
  }
  return stream;
}

// `pages` as libcups writes them in its compressed (version 2) form, or in
// another of its compressed forms (CUPS_RASTER_WRITE_APPLE: Apple raster,
// whose rows must be whole bytes).
inline std::string compressedRaster(const std::vector<TestPage>& pages,
                                    cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED) {
  TempDir dir;
  const std::string path = dir.path() + "/job.ras";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create raster file");
  cups_raster_t* ras = cupsRasterOpen(fd, mode);
  for (const TestPage& page : pages) {
    cups_page_header2_t header = oneBitHeader(page.width, page.height);
    std::vector<uint8_t> pixels = page.pixels;
    pixels.resize(size_t{header.cupsBytesPerLine} * page.height);
    if (cupsRasterWriteHeader2(ras, &header) == 0 ||
        cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size())) != pixels.size()) {
      throw std::runtime_error("cannot write compressed raster");
    }
  }
  cupsRasterClose(ras);
  close(fd);
  return readFile(path);
}
