#include "page/rotation.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"
#include "commands/output.h"
#include "page/buffer.h"

namespace {

// Transposes an 8 x 8 bit block: bit 7 - c of byte r becomes bit 7 - r of
// byte c (the most significant bit is the leftmost pixel).
constexpr std::array<uint8_t, 8> transpose8(const std::array<uint8_t, 8>& rows) {
  uint64_t x = 0;
  for (uint8_t row : rows) x = (x << 8) | row;
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  std::array<uint8_t, 8> columns{};
  for (size_t i = 0; i < 8; ++i) columns[i] = static_cast<uint8_t>(x >> (56 - 8 * i));
  return columns;
}

// Both quarter turns, eight source rows and eight columns at a time. Turned
// byte j of every row gathers source rows 8j to 8j + 7: counted from the
// bottom for a clockwise turn, from the top for a counter-clockwise one. Rows
// past the image read as zero, so the padding bits of a turned row are 0.
int turnByBlocks(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height,
                 uint32_t bytesPerLine, bool clockwise) {
  const uint64_t turnedBytesPerLine = (uint64_t{height} + 7) / 8;
  const uint64_t turnedRows = uint64_t{bytesPerLine} * 8;
  if (source.size() < uint64_t{height} * bytesPerLine || turned.size() < turnedRows * turnedBytesPerLine) return 1;
  const size_t hb = static_cast<size_t>(turnedBytesPerLine);
  for (size_t j = 0; j < hb; ++j) {
    std::array<const uint8_t*, 8> rows{};
    for (size_t t = 0; t < 8; ++t) {
      const size_t fromEdge = 8 * j + t;
      if (fromEdge >= height) break;
      const size_t y = clockwise ? height - 1 - fromEdge : fromEdge;
      rows[t] = source.data() + y * bytesPerLine;
    }
    for (size_t c = 0; c < bytesPerLine; ++c) {
      std::array<uint8_t, 8> block{};
      for (size_t t = 0; t < 8; ++t) block[t] = rows[t] != nullptr ? rows[t][c] : 0;
      const std::array<uint8_t, 8> columns = transpose8(block);
      for (size_t s = 0; s < 8; ++s) {
        const size_t x = 8 * c + s;
        const size_t row = clockwise ? x : static_cast<size_t>(turnedRows) - 1 - x;
        turned[row * hb + j] = columns[s];
      }
    }
  }
  return 0;
}

}  // namespace

int rotate90Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height,
                   uint32_t bytesPerLine) {
  return turnByBlocks(source, turned, height, bytesPerLine, true);
}

int rotate270Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height,
                    uint32_t bytesPerLine) {
  return turnByBlocks(source, turned, height, bytesPerLine, false);
}

int convertRotation(int32_t rotation, std::span<uint8_t> page, cups_page_header_t* header) {
  static constexpr char kTopOfForm[] = "SOT\r\n";
  writeOutput(kTopOfForm, sizeof kTopOfForm - 1);
  if (rotation == 2) {
    rotate180Degree();
    return 0;
  }
  if (rotation != 1 && rotation != 3) return 0;

  const uint32_t height = header->cupsHeight;
  const uint32_t width = header->cupsWidth;
  const uint32_t bytesPerLine = header->cupsBytesPerLine;
  const uint64_t turnedBytesPerLine = (uint64_t{height} + 7) / 8;
  const uint64_t producedRows = uint64_t{bytesPerLine} * 8;
  const uint64_t turnedSize = uint64_t{width} * turnedBytesPerLine;
  if (header->cupsBitsPerPixel != 1 || width > producedRows || page.size() < uint64_t{height} * bytesPerLine || page.size() < turnedSize) {
    std::fprintf(stderr, "ERROR: The page of %u x %u pixels at %u bits cannot be turned in a buffer of %zu bytes.\n",
                 width, height, header->cupsBitsPerPixel, page.size());
    return 1;
  }
  const uint64_t producedSize = producedRows * turnedBytesPerLine;
  const ZeroedBuffer produced = allocateZeroed(producedSize);
  if (!produced) {
    std::perror(kMemoryError);
    return 1;
  }
  const std::span<uint8_t> turned = produced.bytes();
  const int failed = rotation == 1 ? rotate90Degree(page, turned, height, bytesPerLine)
                                   : rotate270Degree(page, turned, height, bytesPerLine);
  if (failed != 0) {
    std::fputs("ERROR: The page could not be turned.\n", stderr);
    return 1;
  }

  header->cupsBytesPerLine = static_cast<uint32_t>(turnedBytesPerLine);
  header->cupsHeight = width;
  header->cupsWidth = height;

  // The rows of the padding columns are dropped: for a clockwise turn they
  // come last, for a counter-clockwise one first.
  const uint64_t firstKept = rotation == 1 ? 0 : (producedRows - width) * turnedBytesPerLine;
  std::memset(page.data(), 0, page.size());
  std::memcpy(page.data(), turned.data() + firstKept, static_cast<size_t>(turnedSize));
  return 0;
}
