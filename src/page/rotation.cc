#include "page/rotation.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TMK_WIDE_TILES 1
#endif

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

// The source row that is `fromEdge` rows from the edge the turn reads from:
// the bottom for a clockwise turn, the top for a counter-clockwise one.
template <bool kClockwise>
inline const uint8_t* sourceRow(const uint8_t* source, size_t fromEdge, uint32_t height, uint32_t bytesPerLine) {
  const size_t y = kClockwise ? height - 1 - fromEdge : fromEdge;
  return source + y * bytesPerLine;
}

// The turned row of source column x: x from the top for a clockwise turn,
// from the bottom for a counter-clockwise one.
template <bool kClockwise>
inline size_t turnedRow(size_t x, uint32_t width) {
  return kClockwise ? x : width - 1 - x;
}

// Turns source byte columns [c0, c1) into turned bytes [j0, j1) of their
// rows, eight source rows and eight columns at a time. Turned byte j gathers
// the rows 8j to 8j + 7 from the edge; rows past the image read as zero, so
// the padding bits of a turned row are 0. Columns from `width` on are
// padding and give no row.
template <bool kClockwise>
void turnBlocks(const uint8_t* source, uint8_t* turned, uint32_t height, uint32_t bytesPerLine, uint32_t width,
                size_t c0, size_t c1, size_t j0, size_t j1) {
  const size_t hb = (size_t{height} + 7) / 8;
  const size_t last = (size_t{width} + 7) / 8 - 1;
  for (size_t j = j0; j < j1; ++j) {
    std::array<const uint8_t*, 8> rows{};
    size_t present = 0;
    for (; present < 8 && 8 * j + present < height; ++present) {
      rows[present] = sourceRow<kClockwise>(source, 8 * j + present, height, bytesPerLine);
    }
    for (size_t c = c0; c < c1; ++c) {
      uint64_t block = 0;
      for (size_t t = 0; t < present; ++t) block |= uint64_t{rows[t][c]} << (56 - 8 * t);
      storeBlock<kClockwise>(block, turned + turnedRow<kClockwise>(8 * c, width) * hb + j, hb,
                             c == last ? width - 8 * last : 8);
    }
  }
}

#ifdef __SSE2__
// One round of a 16 x 16 byte transpose: vectors kWidth apart are
// interleaved in elements of kWidth bytes.
template <size_t kWidth>
inline void interleaveRound(__m128i (&v)[16]) {
  __m128i w[16];
  for (size_t i = 0; i < 8; ++i) {
    const size_t a = (i / kWidth) * 2 * kWidth + i % kWidth;
    const size_t b = a + kWidth;
    if constexpr (kWidth == 1) {
      w[2 * i] = _mm_unpacklo_epi8(v[a], v[b]);
      w[2 * i + 1] = _mm_unpackhi_epi8(v[a], v[b]);
    } else if constexpr (kWidth == 2) {
      w[2 * i] = _mm_unpacklo_epi16(v[a], v[b]);
      w[2 * i + 1] = _mm_unpackhi_epi16(v[a], v[b]);
    } else if constexpr (kWidth == 4) {
      w[2 * i] = _mm_unpacklo_epi32(v[a], v[b]);
      w[2 * i + 1] = _mm_unpackhi_epi32(v[a], v[b]);
    } else {
      w[2 * i] = _mm_unpacklo_epi64(v[a], v[b]);
      w[2 * i + 1] = _mm_unpackhi_epi64(v[a], v[b]);
    }
  }
  std::memcpy(v, w, sizeof w);
}

// Turns a tile of 16 source rows by 16 byte columns: the 16 x 16 bytes are
// transposed so that each vector holds one byte column of the 16 rows, then
// each of its eight bit columns is read at once with movemask, which gives
// the two turned bytes of that column's row.
template <bool kClockwise>
void turnTile(const uint8_t* source, uint8_t* turned, uint32_t height, uint32_t bytesPerLine, uint32_t width,
              size_t c0, size_t j0) {
  const size_t hb = (size_t{height} + 7) / 8;
  // movemask puts byte i's top bit at bit i; a turned byte wants its first
  // row at bit 7, so byte i of each vector holds row 8 (i / 8) + 7 - i % 8.
  __m128i v[16];
  for (size_t i = 0; i < 16; ++i) {
    const size_t fromEdge = 8 * j0 + 8 * (i / 8) + 7 - i % 8;
    v[i] = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(sourceRow<kClockwise>(source, fromEdge, height, bytesPerLine) + c0));
  }
  // 16 x 16 byte transpose in four rounds of interleaving.
  interleaveRound<1>(v);
  interleaveRound<2>(v);
  interleaveRound<4>(v);
  interleaveRound<8>(v);
  const std::ptrdiff_t step = kClockwise ? static_cast<std::ptrdiff_t>(hb) : -static_cast<std::ptrdiff_t>(hb);
  uint8_t* out = turned + turnedRow<kClockwise>(8 * c0, width) * hb + j0;
  for (size_t k = 0; k < 16; ++k) {
    __m128i column = v[k];
    for (size_t bit = 0; bit < 8; ++bit) {
      const auto bytes = static_cast<uint16_t>(_mm_movemask_epi8(column));  // low byte first: turned byte j0
      std::memcpy(out, &bytes, 2);
      out += step;
      column = _mm_add_epi8(column, column);  // the next bit column to the top
    }
  }
}
#endif

#ifdef TMK_WIDE_TILES
// The same tile with 32 source rows: each 256-bit vector holds a byte column
// of 16 rows in each half, so one movemask gives four turned bytes. Built for
// AVX2 alone and used only when the processor has it.
template <size_t kWidth>
__attribute__((target("avx2"), always_inline)) inline void interleaveRound(__m256i (&v)[16]) {
  __m256i w[16];
  for (size_t i = 0; i < 8; ++i) {
    const size_t a = (i / kWidth) * 2 * kWidth + i % kWidth;
    const size_t b = a + kWidth;
    if constexpr (kWidth == 1) {
      w[2 * i] = _mm256_unpacklo_epi8(v[a], v[b]);
      w[2 * i + 1] = _mm256_unpackhi_epi8(v[a], v[b]);
    } else if constexpr (kWidth == 2) {
      w[2 * i] = _mm256_unpacklo_epi16(v[a], v[b]);
      w[2 * i + 1] = _mm256_unpackhi_epi16(v[a], v[b]);
    } else if constexpr (kWidth == 4) {
      w[2 * i] = _mm256_unpacklo_epi32(v[a], v[b]);
      w[2 * i + 1] = _mm256_unpackhi_epi32(v[a], v[b]);
    } else {
      w[2 * i] = _mm256_unpacklo_epi64(v[a], v[b]);
      w[2 * i + 1] = _mm256_unpackhi_epi64(v[a], v[b]);
    }
  }
  for (size_t i = 0; i < 16; ++i) v[i] = w[i];
}

// Turns the tiles of 32 rows by the 16 byte columns from c0, from the edge
// on; returns the turned byte reached (a multiple of 4).
template <bool kClockwise>
__attribute__((target("avx2"))) size_t turnWideTiles(const uint8_t* source, uint8_t* turned, uint32_t height,
                                                      uint32_t bytesPerLine, uint32_t width, size_t c0) {
  const size_t hb = (size_t{height} + 7) / 8;
  const std::ptrdiff_t step = kClockwise ? static_cast<std::ptrdiff_t>(hb) : -static_cast<std::ptrdiff_t>(hb);
  size_t j = 0;
  for (; 8 * (j + 4) <= height; j += 4) {
    __m256i v[16];
    for (size_t i = 0; i < 16; ++i) {
      const size_t fromEdge = 8 * j + 8 * (i / 8) + 7 - i % 8;
      const __m128i low = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(sourceRow<kClockwise>(source, fromEdge, height, bytesPerLine) + c0));
      const __m128i high = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(sourceRow<kClockwise>(source, fromEdge + 16, height, bytesPerLine) + c0));
      v[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }
    interleaveRound<1>(v);
    interleaveRound<2>(v);
    interleaveRound<4>(v);
    interleaveRound<8>(v);
    uint8_t* out = turned + turnedRow<kClockwise>(8 * c0, width) * hb + j;
    for (size_t k = 0; k < 16; ++k) {
      __m256i column = v[k];
      for (size_t bit = 0; bit < 8; ++bit) {
        const auto bytes = static_cast<uint32_t>(_mm256_movemask_epi8(column));  // turned bytes j to j + 3
        std::memcpy(out, &bytes, 4);
        out += step;
        column = _mm256_add_epi8(column, column);
      }
    }
  }
  return j;
}
#endif

template <bool kClockwise>
int turnByBlocks(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                 uint32_t width, [[maybe_unused]] TurnTiles tiles) {
  const uint64_t turnedBytesPerLine = (uint64_t{height} + 7) / 8;
  if (width > uint64_t{bytesPerLine} * 8 || source.size() < uint64_t{height} * bytesPerLine ||
      turned.size() < width * turnedBytesPerLine) {
    return 1;
  }
  if (width == 0) return 0;
  const size_t hb = static_cast<size_t>(turnedBytesPerLine);
  const size_t byteColumns = (size_t{width} + 7) / 8;
  // The turned rows of a strip of kStrip source byte columns stay in cache
  // while every source row band is turned into them: a large page's turned
  // rows do not fit at once.
  constexpr size_t kStrip = 16;
  for (size_t c0 = 0; c0 < byteColumns; c0 += kStrip) {
    const size_t c1 = std::min(byteColumns, c0 + kStrip);
    size_t j = 0;
    // Whole tiles: 16 byte columns of image pixels and 32 or 16 rows.
    if (c1 - c0 == kStrip && 8 * c1 <= width) {
#ifdef TMK_WIDE_TILES
      if (tiles == TurnTiles::kAvx2) {
        j = turnWideTiles<kClockwise>(source.data(), turned.data(), height, bytesPerLine, width, c0);
      }
#endif
#ifdef __SSE2__
      if (tiles != TurnTiles::kBlocks) {
        for (; 8 * (j + 2) <= height; j += 2) {
          turnTile<kClockwise>(source.data(), turned.data(), height, bytesPerLine, width, c0, j);
        }
      }
#endif
    }
    turnBlocks<kClockwise>(source.data(), turned.data(), height, bytesPerLine, width, c0, c1, j, hb);
  }
  return 0;
}

}  // namespace

TurnTiles widestTurnTiles() {
#ifdef TMK_WIDE_TILES
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return TurnTiles::kAvx2;
#endif
#ifdef __SSE2__
  return TurnTiles::kSse2;
#else
  return TurnTiles::kBlocks;
#endif
}

int turnQuarter(bool clockwise, TurnTiles tiles, std::span<const uint8_t> source, std::span<uint8_t> turned,
                uint32_t height, uint32_t bytesPerLine, uint32_t width) {
  tiles = std::min(tiles, widestTurnTiles());
  return clockwise ? turnByBlocks<true>(source, turned, height, bytesPerLine, width, tiles)
                   : turnByBlocks<false>(source, turned, height, bytesPerLine, width, tiles);
}

int rotate90Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                   uint32_t width) {
  return turnByBlocks<true>(source, turned, height, bytesPerLine, width, widestTurnTiles());
}

int rotate270Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                    uint32_t width) {
  return turnByBlocks<false>(source, turned, height, bytesPerLine, width, widestTurnTiles());
}

int convertRotation(int32_t rotation, std::span<uint8_t> page, cups_page_header_t* header) {
  static constexpr char kTopOfForm[] = "SOT\r\n";
  if (rotation != 1 && rotation != 3) {
    writeOutput(kTopOfForm, sizeof kTopOfForm - 1);
    if (rotation == 2) rotate180Degree();
    return 0;
  }

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
    reportMemoryError(turnedSize);
    return 1;
  }
  // The page's first byte only once the turn has all it needs.
  writeOutput(kTopOfForm, sizeof kTopOfForm - 1);
  const int failed = rotation == 1 ? rotate90Degree(page, turned.bytes(), height, bytesPerLine, width)
                                   : rotate270Degree(page, turned.bytes(), height, bytesPerLine, width);
  if (failed != 0) {
    std::fputs("ERROR: The page could not be turned.\n", stderr);
    return 1;
  }

  header->cupsBytesPerLine = static_cast<uint32_t>(turnedBytesPerLine);
  header->cupsHeight = width;
  header->cupsWidth = height;
  std::memcpy(page.data(), turned.memory.get(), turned.size);
  std::memset(page.data() + turned.size, 0, page.size() - turned.size);
  return 0;
}
