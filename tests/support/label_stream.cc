#include "support/label_stream.h"

#include <gtest/gtest.h>

Image randomImage(uint32_t width, uint32_t height, uint32_t seed, uint32_t bytesPerLine) {
  Image image{width, height, bytesPerLine != 0 ? bytesPerLine : (width + 7) / 8, {}};
  image.pixels.resize(size_t{image.bytesPerLine} * height);
  uint32_t state = seed * 2654435761u + 7;
  uint8_t previous = 0;
  for (uint8_t& byte : image.pixels) {
    state = state * 1103515245u + 12345u;
    const uint32_t kind = (state >> 16) % 8;
    byte = kind < 3 ? previous : kind == 3 ? 0x00 : kind == 4 ? 0xFF : static_cast<uint8_t>(state >> 24);
    previous = byte;
  }
  return image;
}

std::optional<std::vector<uint8_t>> decodeRle(std::span<const uint8_t> payload, size_t length) {
  std::vector<uint8_t> out;
  const std::optional<size_t> used = decodeRuns(payload, length, out);
  if (!used || *used != payload.size()) return std::nullopt;
  return out;
}

DecodedStream parseStream(const std::string& stream) {
  DecodedStream decoded = decodeStream(stream);
  for (const std::string& problem : decoded.problems) ADD_FAILURE() << "printer stream: " << problem;
  return decoded;
}

std::vector<PrintedPage> splitPages(DecodedStream decoded, std::vector<std::string>* setup) {
  if (setup != nullptr) *setup = std::move(decoded.setup);
  return std::move(decoded.pages);
}
