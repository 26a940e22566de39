// Reading the printer stream back: the run-length payload, the image
// commands, the pages they make, and the turned page the printer should get
// (worked out pixel by pixel, as the check for the page code).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/raster_writer.h"

// A 1-bit image: rows of bytesPerLine bytes, the most significant bit the
// leftmost pixel, bits past `width` padding.
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytesPerLine = 0;
  std::vector<uint8_t> pixels;

  bool pixel(uint32_t y, uint32_t x) const { return (pixels[size_t{y} * bytesPerLine + x / 8] >> (7 - x % 8)) & 1; }
  void set(uint32_t y, uint32_t x) {
    pixels[size_t{y} * bytesPerLine + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
  }
  bool operator==(const Image&) const = default;
};

// Random pixels, padding included, with long blank and black stretches.
Image randomImage(uint32_t width, uint32_t height, uint32_t seed, uint32_t bytesPerLine = 0);

// The image as a raster page to write with libcups.
inline TestPage pageOf(const Image& image) {
  return TestPage{image.width, image.height, 1, image.bytesPerLine, image.pixels};
}

// The image turned as `rotation` says, one pixel at a time: 1 is a quarter
// turn clockwise, 3 counter-clockwise; other values leave it as it is. The
// turned rows are (height + 7) / 8 bytes long with zero padding.
Image turnedByDefinition(const Image& source, int rotation);

// Decodes a run-length payload into exactly `length` bytes. Returns nothing
// when the payload is malformed (a count of 0, a run past `length`, a missing
// count). `consumed`, when given, receives the payload bytes used; without it
// the whole payload must be used.
std::optional<std::vector<uint8_t>> decodeRle(std::span<const uint8_t> payload, size_t length,
                                              size_t* consumed = nullptr);

// One item of the printer stream: an ASCII command (its text without CR LF),
// an image command, or a bare CR LF (text empty, no image).
struct StreamItem {
  std::string text;
  bool image = false;
  bool compressed = false;
  uint16_t startRow = 0;
  uint16_t bytesPerLine = 0;
  uint16_t rows = 0;
  std::vector<uint8_t> payload;  // as sent
  std::vector<uint8_t> pixels;   // decoded band
};

// Splits the stream; fails the current test (and stops) on bytes that are no
// command.
std::vector<StreamItem> parseStream(const std::string& stream);

// A page as the printer gets it: the commands before its image (SOT, SOB),
// the image put together from its bands, the commands after the CR LF that
// ends the image (cut, P1).
struct PrintedPage {
  std::vector<std::string> before;
  std::vector<std::string> after;
  Image image;  // width unknown: 8 x bytesPerLine
  std::vector<StreamItem> bands;
};

// The pages of a stream, from each SOT to its P1; the commands before the
// first SOT (the job setup) go to `setup`. Fails the current test when the
// bands do not cover their page in order.
std::vector<PrintedPage> splitPages(const std::vector<StreamItem>& items, std::vector<std::string>* setup = nullptr);

inline std::string bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }
