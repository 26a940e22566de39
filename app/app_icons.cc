// A label printer seen from the front, a label coming out of its slot: a
// few shapes in a unit square, each pixel sampled 4 x 4 times so that the
// edges stay smooth at 48 px.
#include "app_icons.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

struct Color {
  double r, g, b, a;
};

constexpr Color kNone{0, 0, 0, 0};
constexpr Color kBody{0.22, 0.28, 0.31, 1};
constexpr Color kSlot{0.07, 0.08, 0.09, 1};
constexpr Color kLabel{1, 1, 1, 1};
constexpr Color kEdge{0.45, 0.50, 0.53, 1};
constexpr Color kPrint{0.15, 0.15, 0.15, 1};
constexpr Color kLight{0.30, 0.80, 0.35, 1};

// Inside the rectangle from (x0, y0) to (x1, y1) with corners of radius r.
bool inRoundedBox(double x, double y, double x0, double y0, double x1, double y1, double r) {
  if (x < x0 || x > x1 || y < y0 || y > y1) return false;
  const double cx = std::clamp(x, x0 + r, x1 - r);
  const double cy = std::clamp(y, y0 + r, y1 - r);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

bool inBox(double x, double y, double x0, double y0, double x1, double y1) {
  return x >= x0 && x <= x1 && y >= y0 && y <= y1;
}

// The colour at (x, y), the topmost shape's.
Color colorAt(double x, double y) {
  if (inRoundedBox(x, y, 0.78, 0.58, 0.84, 0.64, 0.03)) return kLight;
  if (inBox(x, y, 0.22, 0.39, 0.78, 0.43)) return kSlot;
  // The label above the slot: a frame, a barcode and two lines of text.
  if (inBox(x, y, 0.28, 0.06, 0.72, 0.41)) {
    if (!inBox(x, y, 0.30, 0.08, 0.70, 0.41)) return kEdge;
    if (inBox(x, y, 0.35, 0.13, 0.65, 0.16) || inBox(x, y, 0.35, 0.19, 0.56, 0.22)) return kPrint;
    if (inBox(x, y, 0.35, 0.26, 0.65, 0.35)) {
      // Bars of two widths.
      const int bar = static_cast<int>((x - 0.35) / 0.02);
      return (bar % 3 != 2) && (bar % 5 != 4) ? kPrint : kLabel;
    }
    return kLabel;
  }
  if (inRoundedBox(x, y, 0.10, 0.33, 0.90, 0.78, 0.07)) return kBody;
  if (inRoundedBox(x, y, 0.16, 0.76, 0.84, 0.84, 0.03)) return kSlot;
  return kNone;
}

std::vector<uint8_t> draw(int size) {
  constexpr int kSamples = 4;
  std::vector<uint8_t> rgba(static_cast<size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      std::array<double, 4> sum{};
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const Color c = colorAt((px + (sx + 0.5) / kSamples) / size, (py + (sy + 0.5) / kSamples) / size);
          sum[0] += c.r * c.a;
          sum[1] += c.g * c.a;
          sum[2] += c.b * c.a;
          sum[3] += c.a;
        }
      }
      uint8_t* out = &rgba[(static_cast<size_t>(py) * size + px) * 4];
      for (int channel = 0; channel < 3; ++channel) {
        out[channel] = sum[3] > 0 ? static_cast<uint8_t>(std::lround(255 * sum[channel] / sum[3])) : 0;
      }
      out[3] = static_cast<uint8_t>(std::lround(255 * sum[3] / (kSamples * kSamples)));
    }
  }
  return rgba;
}

}  // namespace

std::string labelPrinterPng(int size) {
  const std::vector<uint8_t> rgba = draw(size);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(size);
  image.height = static_cast<png_uint_32>(size);
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t length = 0;
  if (!png_image_write_to_memory(&image, nullptr, &length, 0, rgba.data(), 0, nullptr)) return {};
  std::string png(length, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &length, 0, rgba.data(), 0, nullptr)) return {};
  png.resize(length);
  return png;
}

const AppIcons& appIcons() {
  static const AppIcons icons{labelPrinterPng(48), labelPrinterPng(128), labelPrinterPng(512)};
  return icons;
}
