// Writes a JPEG image to standard output, for the image benchmark and
// experiments:
//   make-test-jpeg gray|color|color444 baseline|progressive WIDTH HEIGHT [SCANS [NTH]]
// The image is white but for a black square in its middle. "color" is
// sampled 2 x 2, as cameras do; "color444" not at all. A progressive image
// gets the NTH of its scans from the end (1, the last, by default) repeated
// after its own until it has SCANS: libjpeg decodes every copy again, with a
// warning, a pass over the blocks of the scan's component each.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

#include "jpeg_scans.h"

namespace {

std::string encode(unsigned width, unsigned height, int components, bool subsampled, bool progressive) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  if (components == 3 && !subsampled) info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 1;
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(size_t{width} * static_cast<unsigned>(components));
  while (info.next_scanline < height) {
    const unsigned y = info.next_scanline;
    for (unsigned x = 0; x < width; ++x) {
      const bool square = x >= width / 4 && x < width * 3 / 4 && y >= height / 4 && y < height * 3 / 4;
      std::memset(row.data() + size_t{x} * static_cast<unsigned>(components), square ? 0 : 255,
                  static_cast<size_t>(components));
    }
    JSAMPROW rows = row.data();
    jpeg_write_scanlines(&info, &rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string image(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return image;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string kind = argc > 2 ? argv[1] : "";
  const std::string coding = argc > 2 ? argv[2] : "";
  if (argc < 5 || (kind != "gray" && kind != "color" && kind != "color444") ||
      (coding != "baseline" && coding != "progressive") || (argc > 5 && coding != "progressive")) {
    std::fputs("usage: make-test-jpeg gray|color|color444 baseline|progressive WIDTH HEIGHT\n"
               "       make-test-jpeg gray|color|color444 progressive WIDTH HEIGHT SCANS [NTH]\n", stderr);
    return 1;
  }
  const unsigned long width = std::strtoul(argv[3], nullptr, 10), height = std::strtoul(argv[4], nullptr, 10);
  const unsigned long scans = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 0;
  const unsigned long nth = argc > 6 ? std::strtoul(argv[6], nullptr, 10) : 1;
  if (width == 0 || height == 0 || width > 65500 || height > 65500 || nth == 0) {
    std::fputs("make-test-jpeg: sizes from 1 to 65500, NTH from 1\n", stderr);
    return 1;
  }
  std::string image = encode(static_cast<unsigned>(width), static_cast<unsigned>(height), kind == "gray" ? 1 : 3,
                             kind == "color", coding == "progressive");
  if (scans > 0) {
    image = withScans(image, scans, nth);
    if (image.empty()) {
      std::fputs("make-test-jpeg: NTH is one of the image's own scans, and it has fewer than SCANS\n", stderr);
      return 1;
    }
  }
  if (std::fwrite(image.data(), 1, image.size(), stdout) != image.size() || std::fflush(stdout) != 0) {
    std::perror("make-test-jpeg");
    return 1;
  }
  return 0;
}
