// CUPS raster streams for tests, written by libcups itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestPage {
  uint32_t width = 0;          // pixels per row
  uint32_t height = 0;         // rows
  uint32_t bitsPerPixel = 1;
  uint32_t bytesPerLine = 0;   // 0: (width * bitsPerPixel + 7) / 8
  std::vector<uint8_t> pixels; // empty: a fixed pattern of height * bytesPerLine bytes
};

// A page of `width` x `height` 1-bit pixels filled with a deterministic
// pattern that mixes blank, black and other bytes.
TestPage patternPage(uint32_t width, uint32_t height, uint32_t seed = 1);

// The bytes of a CUPS raster stream holding `pages`, as libcups writes it.
std::string makeRaster(const std::vector<TestPage>& pages);

// The row length that a page really has (bytesPerLine or the computed one).
uint32_t bytesPerLineOf(const TestPage& page);
