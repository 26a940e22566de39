#include "page/rotation.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"
#include "commands/output.h"
#include "page/buffer.h"

namespace {

// Transposes an 8 x 8 bit block held in a 64-bit word, row 0 in the most
// significant byte: bit 7 - c of row r becomes bit 7 - r of row c (the most
// significant bit is the leftmost pixel).
constexpr uint64_t transpose8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

// Turns one 8 x 8 block and stores its first `count` columns: column s of the block
// goes s rows below `out` (clockwise) or s rows above it (counter-clockwise);
// turned rows are `hb` bytes apart.
template <bool kClockwise>
inline void storeBlock(uint64_t block, uint8_t* out, size_t hb, size_t count = 8) {
  const uint64_t columns = transpose8(block);
  for (size_t s = 0; s < count; ++s) {
    const auto value = static_cast<uint8_t>(columns >> (56 - 8 * s));
    if constexpr (kClockwise) {
      out[s * hb] = value;
    } else {
      *(out - s * hb) = value;
    }
  }
}

// Both quarter turns, eight source rows and eight columns at a time. Turned
// byte j of every row gathers source rows 8j to 8j + 7: counted from the
// bottom for a clockwise turn, from the top for a counter-clockwise one. Rows
// past the image read as zero, so the padding bits of a turned row are 0.
// Columns from `width` on are padding and give no row.
template <bool kClockwise>
int turnByBlocks(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                 uint32_t width) {
  const uint64_t turnedBytesPerLine = (uint64_t{height} + 7) / 8;
  if (width > uint64_t{bytesPerLine} * 8 || source.size() < uint64_t{height} * bytesPerLine ||
      turned.size() < width * turnedBytesPerLine) {
    return 1;
  }
  if (width == 0) return 0;
  const size_t hb = static_cast<size_t>(turnedBytesPerLine);
  const size_t byteColumns = (size_t{width} + 7) / 8;
  for (size_t j = 0; j < hb; ++j) {
    std::array<const uint8_t*, 8> rows{};
    size_t present = 0;
    for (; present < 8 && 8 * j + present < height; ++present) {
      const size_t y = kClockwise ? height - 1 - (8 * j + present) : 8 * j + present;
      rows[present] = source.data() + y * bytesPerLine;
    }
    const auto block = [&](size_t c) {
      if (present == 8) {
        return uint64_t{rows[0][c]} << 56 | uint64_t{rows[1][c]} << 48 | uint64_t{rows[2][c]} << 40 |
               uint64_t{rows[3][c]} << 32 | uint64_t{rows[4][c]} << 24 | uint64_t{rows[5][c]} << 16 |
               uint64_t{rows[6][c]} << 8 | uint64_t{rows[7][c]};
      }
      uint64_t partial = 0;
      for (size_t t = 0; t < present; ++t) partial |= uint64_t{rows[t][c]} << (56 - 8 * t);
      return partial;
    };
    // The turned row of source column 8c + s: 8c + s from the top for a
    // clockwise turn, from the bottom for a counter-clockwise one.
    const auto blockStart = [&](size_t c) { return turned.data() + (kClockwise ? 8 * c : width - 1 - 8 * c) * hb + j; };
    for (size_t c = 0; c + 1 < byteColumns; ++c) storeBlock<kClockwise>(block(c), blockStart(c), hb);
    const size_t last = byteColumns - 1;
    storeBlock<kClockwise>(block(last), blockStart(last), hb, width - 8 * last);
  }
  return 0;
}

}  // namespace

int rotate90Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                   uint32_t width) {
  return turnByBlocks<true>(source, turned, height, bytesPerLine, width);
}

int rotate270Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                    uint32_t width) {
  return turnByBlocks<false>(source, turned, height, bytesPerLine, width);
}

namespace {

// Every bit column of the rows, capped at the largest 32-bit count.
uint32_t wholeRowWidth(uint32_t bytesPerLine) { return bytesPerLine > UINT32_MAX / 8 ? UINT32_MAX : bytesPerLine * 8; }

}  // namespace

int rotate90Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine) {
  return rotate90Degree(source, turned, height, bytesPerLine, wholeRowWidth(bytesPerLine));
}

int rotate270Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height,
                    uint32_t bytesPerLine) {
  return rotate270Degree(source, turned, height, bytesPerLine, wholeRowWidth(bytesPerLine));
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
  const uint64_t turnedSize = uint64_t{width} * turnedBytesPerLine;
  if (header->cupsBitsPerPixel != 1 || width > uint64_t{bytesPerLine} * 8 ||
      page.size() < uint64_t{height} * bytesPerLine || page.size() < turnedSize) {
    std::fprintf(stderr, "ERROR: The page of %u x %u pixels at %u bits cannot be turned in a buffer of %zu bytes.\n",
                 width, height, header->cupsBitsPerPixel, page.size());
    return 1;
  }
  // Only the image columns are turned: the padding columns at the end of the
  // source rows give no turned row.
  const ZeroedBuffer turned = allocateZeroed(turnedSize);
  if (!turned) {
    std::perror(kMemoryError);
    return 1;
  }
  const int failed = rotation == 1 ? rotate90Degree(page, turned.bytes(), height, bytesPerLine, width)
                                   : rotate270Degree(page, turned.bytes(), height, bytesPerLine, width);
  if (failed != 0) {
    std::fputs("ERROR: The page could not be turned.\n", stderr);
    return 1;
  }

  header->cupsBytesPerLine = static_cast<uint32_t>(turnedBytesPerLine);
  header->cupsHeight = width;
  header->cupsWidth = height;
  std::memset(page.data(), 0, page.size());
  std::memcpy(page.data(), turned.memory.get(), turned.size);
  return 0;
}
