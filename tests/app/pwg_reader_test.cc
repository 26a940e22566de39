// The app's reader of a client's raster document on what the fuzz target's
// small inputs never hold: whole 4 x 6 in labels at 203 dpi in a spool file
// longer than the reader's chunk, read as libcups reads them; and a page whose
// rows claim 2 GiB, which libcups cannot hold to compare with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/pwg_reader.h"
#include "app_harness.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kWidth = 812, kHeight = 1218;

// A shipping label in 8-bit gray: white, a barcode of 300 like rows (more
// than one row repeat holds), lines of text-like blocks and a gray ramp.
std::vector<uint8_t> labelPage(uint32_t seed) {
  std::vector<uint8_t> gray(size_t{kWidth} * kHeight, 255);
  uint32_t random = seed;
  auto next = [&random] { return random = random * 1103515245 + 12345; };
  for (uint32_t x = 40; x < 760; ++x) {
    const bool bar = (x * 7 + seed) % 11 < 5;
    for (uint32_t y = 100; y < 400; ++y) gray[size_t{y} * kWidth + x] = bar ? 0 : 255;
  }
  for (uint32_t line = 0; line < 8; ++line) {
    for (uint32_t glyph = 0; glyph < 60; ++glyph) {
      const uint32_t bits = next() >> 8;
      for (uint32_t y = 0; y < 24; ++y) {
        for (uint32_t x = 0; x < 10; ++x) {
          if ((bits >> ((y / 4) * 3 + x / 4)) & 1) gray[size_t{480 + line * 32 + y} * kWidth + 30 + glyph * 12 + x] = 0;
        }
      }
    }
  }
  for (uint32_t y = 800; y < 900; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) gray[size_t{y} * kWidth + x] = static_cast<uint8_t>((x + y + seed) % 256);
  }
  return gray;
}

}  // namespace

TEST(PwgReaderTest, LabelDocumentsReadAsLibcupsReadsThem) {
  const std::vector<uint8_t> white(size_t{kWidth} * kHeight, 255);
  TempDir dir;
  const std::string path = dir.write(
      "document", grayRaster(CUPS_RASTER_WRITE_PWG, kWidth, kHeight, 203, {labelPage(1), white, labelPage(2), labelPage(3)}));
  ASSERT_GT(readFile(path).size(), PwgReader::kChunkSize);
  // The whole row, and an odd part of it.
  for (const size_t ask : {size_t{kWidth}, size_t{101}}) {
    const int ours = open(path.c_str(), O_RDONLY | O_CLOEXEC), theirs = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    PwgReader reader(ours);
    cups_raster_t* raster = cupsRasterOpen(theirs, CUPS_RASTER_READ);
    cups_page_header2_t ourHeader, theirHeader;
    std::vector<unsigned char> ourRow(ask), theirRow(kWidth);
    int pages = 0;
    while (cupsRasterReadHeader2(raster, &theirHeader) != 0) {
      ASSERT_TRUE(reader.readHeader(ourHeader)) << "page " << pages;
      ASSERT_EQ(std::memcmp(&ourHeader, &theirHeader, sizeof ourHeader), 0) << "page " << pages;
      for (uint32_t y = 0; y < kHeight; ++y) {
        ASSERT_EQ(cupsRasterReadPixels(raster, theirRow.data(), kWidth), kWidth);
        ASSERT_TRUE(reader.readRow(ourRow)) << "page " << pages << " row " << y;
        ASSERT_TRUE(std::equal(ourRow.begin(), ourRow.end(), theirRow.begin())) << "page " << pages << " row " << y;
      }
      EXPECT_FALSE(reader.readRow(ourRow));
      ++pages;
    }
    EXPECT_EQ(pages, 4);
    EXPECT_FALSE(reader.readHeader(ourHeader));
    EXPECT_FALSE(reader.failed());
    cupsRasterClose(raster);
    close(ours);
    close(theirs);
  }
}

TEST(PwgReaderTest, RowsClaimingTwoGibibytesAreReadAsFarAsAsked) {
  // A page of one 8-pixel row as libcups writes it; then the same header
  // made to claim rows of 2^31 - 1 bytes, two of them.
  const std::string small = grayRaster(CUPS_RASTER_WRITE_PWG, 8, 1, 203, {{1, 2, 3, 4, 5, 6, 7, 8}});
  std::string document = small.substr(0, 4 + sizeof(cups_page_header2_t));
  for (const size_t field : {offsetof(cups_page_header2_t, cupsWidth), offsetof(cups_page_header2_t, cupsBytesPerLine),
                             offsetof(cups_page_header2_t, cupsHeight)}) {
    const uint32_t value = field == offsetof(cups_page_header2_t, cupsHeight) ? 2 : 0x7fffffff;
    for (int byte = 0; byte < 4; ++byte) document[4 + field + byte] = static_cast<char>(value >> (24 - 8 * byte));
  }
  // A run of 128, a literal of 3 and white to the end; then a white row. The
  // small page follows.
  document += std::string("\x00\x7f\x12\xfe\x01\x02\x03\x80", 8) + std::string("\x00\x80", 2) + small.substr(4);
  TempDir dir;
  const int fd = open(dir.write("document", document).c_str(), O_RDONLY | O_CLOEXEC);
  PwgReader reader(fd);
  cups_page_header2_t header;
  ASSERT_TRUE(reader.readHeader(header));
  EXPECT_EQ(header.cupsBytesPerLine, 0x7fffffffu);
  std::vector<unsigned char> row(200), want(200, 0xff);
  std::fill_n(want.begin(), 128, 0x12);
  std::copy_n("\x01\x02\x03", 3, want.begin() + 128);
  ASSERT_TRUE(reader.readRow(row));
  EXPECT_EQ(row, want);
  ASSERT_TRUE(reader.readRow(row));
  EXPECT_EQ(row, std::vector<unsigned char>(200, 0xff));
  EXPECT_FALSE(reader.readRow(row));
  EXPECT_FALSE(reader.failed());
  ASSERT_TRUE(reader.readHeader(header));
  EXPECT_EQ(header.cupsBytesPerLine, 8u);
  row.resize(8);
  ASSERT_TRUE(reader.readRow(row));
  EXPECT_EQ(row, std::vector<unsigned char>({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_FALSE(reader.readHeader(header));
  EXPECT_FALSE(reader.failed());
  close(fd);
}
