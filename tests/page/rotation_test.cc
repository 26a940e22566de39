// Orientation commands and quarter turns: the turned bytes must match the
// turn worked out pixel by pixel for every width and height.
#include "page/rotation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/label_stream.h"
#include "support/capture.h"

namespace {

cups_page_header_t headerOf(const Image& image) {
  cups_page_header_t header{};
  header.cupsWidth = image.width;
  header.cupsHeight = image.height;
  header.cupsBitsPerPixel = 1;
  header.cupsBytesPerLine = image.bytesPerLine;
  return header;
}

struct Turned {
  int result = -1;
  Image image;                  // what the page buffer and header say afterwards
  std::vector<uint8_t> buffer;  // the whole page buffer
  Captured io;
};

// Runs convertRotation on a page buffer that holds the image and room for
// the turned one, with a few more bytes of filler after both.
Turned convert(const Image& source, int32_t rotation) {
  Turned turned;
  cups_page_header_t header = headerOf(source);
  turned.buffer = source.pixels;
  const size_t turnedSize = size_t{source.width} * ((source.height + 7) / 8);
  turned.buffer.resize(std::max(turned.buffer.size(), turnedSize) + 5, 0x5A);
  turned.io = capture([&] { turned.result = convertRotation(rotation, turned.buffer, &header); });
  turned.image = Image{header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine, {}};
  turned.image.pixels.assign(
      turned.buffer.begin(),
      turned.buffer.begin() + static_cast<ptrdiff_t>(size_t{header.cupsHeight} * header.cupsBytesPerLine));
  return turned;
}

TEST(Rotation, ExampleTurnsBothWays) {
  const Image source{3, 2, 1, {0xA0, 0x60}};
  const Turned clockwise = convert(source, 1);
  EXPECT_EQ(clockwise.result, 0);
  EXPECT_EQ(clockwise.io.out, "SOT\r\n");
  EXPECT_EQ(clockwise.image, (Image{2, 3, 1, {0x40, 0x80, 0xC0}}));
  const Turned counter = convert(source, 3);
  EXPECT_EQ(counter.image, (Image{2, 3, 1, {0xC0, 0x40, 0x80}}));
  EXPECT_EQ(counter.io.out, "SOT\r\n");
}

TEST(Rotation, OtherValuesWriteTheOrientationOnlyAndKeepThePage) {
  const Image source = randomImage(21, 5, 3);
  for (int32_t rotation : {0, 2, 4, -1}) {
    const Turned turned = convert(source, rotation);
    EXPECT_EQ(turned.result, 0);
    EXPECT_EQ(turned.io.out, rotation == 2 ? "SOT\r\nSOB\r\n" : "SOT\r\n") << rotation;
    EXPECT_EQ(turned.image, source) << rotation;
  }
}

// Widths around and at multiples of 8, heights below and around 8, padding
// bits set in the source rows, extra bytes per line. The page buffer holds
// zeros after the turned page.
TEST(Rotation, RandomPagesMatchThePixelByPixelTurn) {
  std::mt19937 random(11);
  int pages = 0;
  for (uint32_t height : {1u, 2u, 5u, 6u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 200u, 201u}) {
    for (uint32_t width : {1u, 3u, 7u, 8u, 9u, 16u, 23u, 64u, 100u, 128u, 131u, 300u}) {
      const auto bpl = static_cast<uint32_t>((width + 7) / 8 + random() % 3);
      const Image source = randomImage(width, height, ++pages, bpl);
      for (int32_t rotation : {1, 3}) {
        const Turned turned = convert(source, rotation);
        ASSERT_EQ(turned.result, 0);
        ASSERT_EQ(turned.image, turnedByDefinition(source, rotation))
            << width << " x " << height << " (" << bpl << " bytes per line), rotation " << rotation;
        ASSERT_TRUE(std::all_of(turned.buffer.begin() + static_cast<ptrdiff_t>(turned.image.pixels.size()),
                                turned.buffer.end(), [](uint8_t b) { return b == 0; }))
            << "the turned page must be followed by zeros";
      }
    }
  }
}

// The routines themselves give one row per image column, or per bit column
// when the width takes the whole rows, and refuse buffers that are too small.
TEST(Rotation, TurningRoutinesGiveARowPerColumn) {
  const Image source = randomImage(19, 11, 8, 3);
  Image wide = source;
  wide.width = 24;
  for (const Image& image : {source, wide}) {
    std::vector<uint8_t> rows(size_t{image.width} * 2, 0x77);
    ASSERT_EQ(rotate90Degree(source.pixels, rows, 11, 3, image.width), 0);
    EXPECT_EQ(rows, turnedByDefinition(image, 1).pixels) << image.width;
    ASSERT_EQ(rotate270Degree(source.pixels, rows, 11, 3, image.width), 0);
    EXPECT_EQ(rows, turnedByDefinition(image, 3).pixels) << image.width;
  }
  std::vector<uint8_t> rows(19 * 2 - 1);
  EXPECT_EQ(rotate90Degree(source.pixels, rows, 11, 3, 19), 1);
  rows.resize(25 * 2);
  EXPECT_EQ(rotate270Degree(source.pixels, rows, 11, 3, 25), 1);
  EXPECT_EQ(rotate270Degree(std::span(source.pixels).first(32), rows, 11, 3, 19), 1);
}

// Every way of gathering pixels gives the same turn: heights around the 16
// and 32 rows of the tiles, widths around their 128 pixels.
TEST(Rotation, EveryTileWidthMatchesThePixelByPixelTurn) {
  int pages = 0;
  for (TurnTiles tiles : {TurnTiles::kBlocks, TurnTiles::kSse2, TurnTiles::kAvx2}) {
    for (uint32_t height : {31u, 32u, 33u, 47u, 48u, 65u, 100u}) {
      for (uint32_t width : {127u, 128u, 129u, 256u, 270u}) {
        const Image source = randomImage(width, height, ++pages, (width + 7) / 8 + 1);
        for (int32_t rotation : {1, 3}) {
          std::vector<uint8_t> rows(size_t{width} * ((height + 7) / 8), 0x77);
          ASSERT_EQ(turnQuarter(rotation == 1, tiles, source.pixels, rows, height, source.bytesPerLine, width), 0);
          ASSERT_EQ(rows, turnedByDefinition(source, rotation).pixels)
              << width << " x " << height << ", rotation " << rotation << ", tiles " << static_cast<int>(tiles);
        }
      }
    }
  }
}

TEST(Rotation, QuarterTurnAndTheOppositeRestoreThePage) {
  for (auto [width, height] : {std::pair{64u, 40u}, std::pair{8u, 8u}, std::pair{104u, 200u}}) {
    const Image source = randomImage(width, height, width + height);
    for (auto [first, second] : {std::pair{1, 3}, std::pair{3, 1}}) {
      const Turned once = convert(source, first);
      const Turned back = convert(once.image, second);
      EXPECT_EQ(back.image, source) << width << " x " << height << ", " << first << " then " << second;
    }
  }
}

TEST(Rotation, ImpossibleTurnIsRefusedBeforeTheOrientation) {
  const Image source = randomImage(16, 4, 1);
  cups_page_header_t header = headerOf(source);
  std::vector<uint8_t> buffer = source.pixels;  // 8 bytes: no room for 16 turned rows
  int result = 0;
  const Captured io = capture([&] { result = convertRotation(1, buffer, &header); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(io.out, "");
  EXPECT_EQ(io.err.rfind("ERROR: ", 0), 0u) << io.err;
  EXPECT_EQ(header.cupsWidth, 16u);
  EXPECT_EQ(buffer, source.pixels);
}

}  // namespace
