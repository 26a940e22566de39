// Reading the printer stream back in tests, through the tools' stream reader:
// random images, the run-length payload, and the pages a stream makes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decode/printer_stream.h"
#include "support/raster_writer.h"

// Random pixels, padding included, with long blank and black stretches.
Image randomImage(uint32_t width, uint32_t height, uint32_t seed, uint32_t bytesPerLine = 0);

// The image as a raster page to write with libcups.
inline TestPage pageOf(const Image& image) {
  return TestPage{image.width, image.height, 1, image.bytesPerLine, image.pixels};
}

// Decodes a whole run-length payload into exactly `length` bytes; nothing
// when it is malformed or has bytes left over.
std::optional<std::vector<uint8_t>> decodeRle(std::span<const uint8_t> payload, size_t length);

// Reads the stream; fails the current test for everything the reader finds
// wrong.
DecodedStream parseStream(const std::string& stream);

// The pages of a read stream; the commands outside pages (the job setup) go
// to `setup`.
std::vector<PrintedPage> splitPages(DecodedStream decoded, std::vector<std::string>* setup = nullptr);

inline std::string bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }
