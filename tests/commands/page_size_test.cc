// Label sizes in printer dots at the three resolutions.
#include "commands/page_size.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <map>
#include <string>

namespace {

constexpr std::array<float, 3> kDots{8.0f, 11.8f, 23.6f};

// Millimetres to the dots the printers expect, per resolution.
const std::map<std::string, std::array<int32_t, 3>> kDotTable{
    {"25.4", {203, 299, 599}},    {"38.1", {304, 449, 899}},    {"50.8", {406, 599, 1198}},
    {"63.5", {508, 749, 1498}},   {"76.2", {609, 899, 1798}},   {"88.9", {711, 1049, 2098}},
    {"101.6", {812, 1198, 2397}}, {"114.3", {914, 1348, 2697}}, {"127", {1016, 1498, 2997}},
    {"152.4", {1219, 1798, 3596}}, {"177.8", {1422, 2098, 4196}}, {"203.2", {1625, 2397, 4795}},
    {"304.8", {2438, 3596, 7193}},
};

// Width and length in millimetres of every standard size index.
std::array<std::pair<std::string, std::string>, 56> sizesByIndex() {
  const std::array<std::string, 6> widths{"38.1", "50.8", "63.5", "76.2", "88.9", "101.6"};
  const std::array<std::string, 9> lengths{"25.4", "38.1", "50.8", "76.2", "101.6", "127", "152.4", "177.8", "203.2"};
  std::array<std::pair<std::string, std::string>, 56> sizes;
  for (size_t w = 0; w < widths.size(); ++w) {
    for (size_t l = 0; l < lengths.size(); ++l) sizes[w * 9 + l] = {widths[w], lengths[l]};
  }
  sizes[54] = {"101.6", "304.8"};
  sizes[55] = {"76.2", "114.3"};
  return sizes;
}

TEST(PageSize, EveryStandardSizeGivesTheDotTableAtEveryResolution) {
  const auto sizes = sizesByIndex();
  for (size_t r = 0; r < kDots.size(); ++r) {
    Dot = kDots[r];
    for (int32_t index = 0; index < 56; ++index) {
      const auto& [widthMm, lengthMm] = sizes[static_cast<size_t>(index)];
      int32_t length = -7, width = -7;
      convertPageSize(index, &length, &width);
      EXPECT_EQ(width, kDotTable.at(widthMm)[r]) << "index " << index << " at " << Dot;
      EXPECT_EQ(length, kDotTable.at(lengthMm)[r]) << "index " << index << " at " << Dot;
    }
  }
}

TEST(PageSize, IndexOutsideTheTableWritesNothing) {
  Dot = 8.0f;
  for (int32_t index : {56, -1, 57, 1000, INT_MAX, INT_MIN}) {
    int32_t length = 11, width = 22;
    convertPageSize(index, &length, &width);
    EXPECT_EQ(length, 11) << index;
    EXPECT_EQ(width, 22) << index;
  }
}

TEST(PageSize, CustomSizesInPointsAtEveryResolution) {
  const std::map<float, std::array<int32_t, 3>> expected{
      {72.0f, {203, 299, 599}},    {100.0f, {282, 416, 832}}, {288.0f, {812, 1198, 2397}},
      {432.0f, {1219, 1798, 3596}}, {-1.0f, {-2, -4, -8}},    {0.0f, {0, 0, 0}},
  };
  for (size_t r = 0; r < kDots.size(); ++r) {
    Dot = kDots[r];
    for (const auto& [points, dots] : expected) {
      settings_t settings{};
      settings.customWidth = points;
      settings.customHeight = 72.0f;
      int32_t length = 0, width = 0;
      convertCustomPageSize(&settings, &length, &width);
      EXPECT_EQ(width, dots[r]) << points << " points wide at " << Dot;
      EXPECT_EQ(length, expected.at(72.0f)[r]) << "72 points long at " << Dot;

      settings.customWidth = 72.0f;
      settings.customHeight = points;
      convertCustomPageSize(&settings, &length, &width);
      EXPECT_EQ(length, dots[r]) << points << " points long at " << Dot;
      EXPECT_EQ(width, expected.at(72.0f)[r]) << "72 points wide at " << Dot;
    }
  }
}

TEST(PageSize, AbsurdCustomSizesSaturate) {
  Dot = 23.6f;
  settings_t settings{};
  settings.customWidth = 1e30f;
  settings.customHeight = -1e30f;
  int32_t length = 0, width = 0;
  convertCustomPageSize(&settings, &length, &width);
  EXPECT_EQ(width, INT32_MAX);
  EXPECT_EQ(length, INT32_MIN);
}

}  // namespace
