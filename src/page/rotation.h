// Print orientation and the quarter turns of a 1-bit page image.
#pragma once

#include <cstdint>
#include <span>

#include "page/raster.h"

// Starts the page's output with the orientation command SOT and applies
// `rotation`: 2 adds SOB (the printer turns the label), 1 turns the image a
// quarter turn clockwise and 3 counter-clockwise in `page`, rewriting the
// header's cupsWidth, cupsHeight and cupsBytesPerLine; other values leave the
// page as it is. For a quarter turn `page` must hold the image as read and
// the turned image (cupsWidth rows of (cupsHeight + 7) / 8 bytes); what
// follows the turned image is zero. Returns 0, or 1 after a message when the
// image cannot be turned or its buffer cannot be had (nothing is written
// then, and header and page stay unchanged).
int convertRotation(int32_t rotation, std::span<uint8_t> page, cups_page_header_t* header);

// The turns of a 1-bit image of `height` rows of `bytesPerLine` bytes, of
// which the first `width` pixels of each row are the image and the rest
// padding. Both write `width` rows of (height + 7) / 8 bytes into `turned`,
// one for every image column; the bits past `height` in each row are zero.
// rotate90Degree writes the rows for columns 0 upward, each read from the
// bottom row up (a clockwise turn); rotate270Degree writes them for the last
// column downward, each read from the top row down (counter-clockwise).
// Return 0, or 1 when a buffer is too small for the image or the width does
// not fit the rows.
int rotate90Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                   uint32_t width);
int rotate270Degree(std::span<const uint8_t> source, std::span<uint8_t> turned, uint32_t height, uint32_t bytesPerLine,
                    uint32_t width);

// How the turns gather pixels: 8 x 8 bit blocks only, or also 16 x 16 byte
// tiles (SSE2), or also tiles of 32 rows (AVX2). The turns use the widest
// this processor runs; tests and benchmarks compare the narrower ones.
enum class TurnTiles : uint8_t { kBlocks, kSse2, kAvx2 };
TurnTiles widestTurnTiles();

// rotate90Degree (clockwise) or rotate270Degree with the given tiles, or the
// widest this processor runs if it lacks them.
int turnQuarter(bool clockwise, TurnTiles tiles, std::span<const uint8_t> source, std::span<uint8_t> turned,
                uint32_t height, uint32_t bytesPerLine, uint32_t width);
