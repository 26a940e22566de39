#include "commands/page_size.h"

#include <array>

#include "settings/numeric.h"

namespace {

struct LabelSize {
  double width;   // millimetres
  double length;  // millimetres
};

// The standard sizes: indices 0 to 53 run through the lengths for each width,
// then two sizes outside that grid.
constexpr std::array<double, 6> kGridWidths{38.1, 50.8, 63.5, 76.2, 88.9, 101.6};
constexpr std::array<double, 9> kGridLengths{25.4, 38.1, 50.8, 76.2, 101.6, 127.0, 152.4, 177.8, 203.2};
constexpr std::array<LabelSize, 2> kExtraSizes{{{101.6, 304.8}, {76.2, 114.3}}};
constexpr int32_t kGridSizes = static_cast<int32_t>(kGridWidths.size() * kGridLengths.size());
constexpr int32_t kStandardSizes = kGridSizes + static_cast<int32_t>(kExtraSizes.size());
static_assert(kStandardSizes == 56);

constexpr LabelSize standardSize(int32_t index) {
  if (index >= kGridSizes) return kExtraSizes[static_cast<size_t>(index - kGridSizes)];
  const auto i = static_cast<size_t>(index);
  return {kGridWidths[i / kGridLengths.size()], kGridLengths[i % kGridLengths.size()]};
}

// Dot widened to double times the size in millimetres. The printers were set
// up with the 127 mm length as a single-precision product; keep those dots.
int32_t standardDots(double millimetres) {
  if (millimetres == 127.0) return truncateToInt32(Dot * 127.0f);
  return truncateToInt32(static_cast<double>(Dot) * millimetres);
}

// Points (1/72 inch) to millimetres, narrowed to single precision.
float pointsToMillimetres(float points) { return static_cast<float>(static_cast<double>(points / 72.0f) * 25.4); }

}  // namespace

void convertPageSize(int32_t index, int32_t* length, int32_t* width) {
  if (index < 0 || index >= kStandardSizes) return;
  const LabelSize size = standardSize(index);
  *width = standardDots(size.width);
  *length = standardDots(size.length);
}

void convertCustomPageSize(const settings_t* settings, int32_t* length, int32_t* width) {
  const float widthMillimetres = pointsToMillimetres(settings->customWidth);
  const float heightMillimetres = pointsToMillimetres(settings->customHeight);
  *width = truncateToInt32(Dot * widthMillimetres);
  *length = truncateToInt32(Dot * heightMillimetres);
}
