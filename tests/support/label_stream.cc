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

Image turnedByDefinition(const Image& source, int rotation) {
  if (rotation != 1 && rotation != 3) return source;
  const uint32_t w = source.width;
  const uint32_t h = source.height;
  Image turned{h, w, (h + 7) / 8, {}};
  turned.pixels.assign(size_t{turned.bytesPerLine} * w, 0);
  for (uint32_t r = 0; r < w; ++r) {
    for (uint32_t k = 0; k < h; ++k) {
      const bool set = rotation == 1 ? source.pixel(h - 1 - k, r) : source.pixel(k, w - 1 - r);
      if (set) turned.set(r, k);
    }
  }
  return turned;
}

std::optional<std::vector<uint8_t>> decodeRle(std::span<const uint8_t> payload, size_t length, size_t* consumed) {
  std::vector<uint8_t> out;
  out.reserve(length);
  size_t at = 0;
  while (out.size() < length) {
    if (at >= payload.size()) return std::nullopt;
    const uint8_t value = payload[at++];
    if (value != 0x00 && value != 0xFF) {
      out.push_back(value);
      continue;
    }
    if (at >= payload.size()) return std::nullopt;
    const uint8_t count = payload[at++];
    if (count == 0 || out.size() + count > length) return std::nullopt;
    out.insert(out.end(), count, value);
  }
  if (consumed != nullptr) {
    *consumed = at;
  } else if (at != payload.size()) {
    return std::nullopt;
  }
  return out;
}

namespace {

uint16_t field(const std::string& stream, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(stream[at]) | static_cast<uint8_t>(stream[at + 1]) << 8);
}

// Reads an "LD" or "LCR" command at `at`; returns the position after it, or
// 0 when the stream ends inside it.
size_t readImage(const std::string& stream, size_t at, StreamItem& item) {
  item.image = true;
  item.compressed = stream.compare(at, 3, "LCR") == 0;
  const size_t headerSize = item.compressed ? 12 : 10;
  if (stream.size() - at < headerSize) return 0;
  const size_t fields = at + headerSize - 6;
  item.startRow = field(stream, fields);
  item.bytesPerLine = field(stream, fields + 2);
  item.rows = field(stream, fields + 4);
  const size_t length = size_t{item.bytesPerLine} * item.rows;
  const auto* rest = reinterpret_cast<const uint8_t*>(stream.data()) + at + headerSize;
  const size_t available = stream.size() - at - headerSize;
  size_t used = length;
  if (item.compressed) {
    auto decoded = decodeRle(std::span(rest, available), length, &used);
    if (!decoded) return 0;
    item.pixels = std::move(*decoded);
  } else {
    if (available < length) return 0;
    item.pixels.assign(rest, rest + length);
  }
  item.payload.assign(rest, rest + used);
  return at + headerSize + used;
}

}  // namespace

std::vector<StreamItem> parseStream(const std::string& stream) {
  std::vector<StreamItem> items;
  size_t at = 0;
  while (at < stream.size()) {
    StreamItem item;
    if (stream.compare(at, 2, "LD") == 0 || stream.compare(at, 3, "LCR") == 0) {
      const size_t next = readImage(stream, at, item);
      if (next == 0) {
        ADD_FAILURE() << "image command cut short at byte " << at;
        return items;
      }
      at = next;
    } else {
      const size_t end = stream.find("\r\n", at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "unterminated command at byte " << at << ": " << stream.substr(at, 20);
        return items;
      }
      item.text = stream.substr(at, end - at);
      at = end + 2;
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<PrintedPage> splitPages(const std::vector<StreamItem>& items, std::vector<std::string>* setup) {
  std::vector<PrintedPage> pages;
  enum { kSetup, kBefore, kImage, kAfter } where = kSetup;
  for (const StreamItem& item : items) {
    if (!item.image && item.text == "SOT") {
      if (where != kSetup && where != kAfter) ADD_FAILURE() << "SOT inside a page";
      pages.emplace_back();
      where = kBefore;
    }
    if (where == kSetup) {
      if (setup != nullptr) setup->push_back(item.text);
      continue;
    }
    PrintedPage& page = pages.back();
    if (item.image) {
      if (where == kAfter) ADD_FAILURE() << "image command after the end of the image";
      Image& image = page.image;
      if (page.bands.empty()) image.bytesPerLine = item.bytesPerLine;
      EXPECT_EQ(item.bytesPerLine, image.bytesPerLine) << "band " << page.bands.size();
      EXPECT_EQ(item.startRow, static_cast<uint16_t>(image.height)) << "band " << page.bands.size();
      EXPECT_GE(item.rows, 1);
      EXPECT_LE(item.rows, 200);
      image.height += item.rows;
      image.pixels.insert(image.pixels.end(), item.pixels.begin(), item.pixels.end());
      image.width = 8 * image.bytesPerLine;
      page.bands.push_back(item);
      where = kImage;
    } else if (where == kImage && item.text.empty()) {
      where = kAfter;
    } else if (where == kAfter) {
      page.after.push_back(item.text);
    } else if (where == kBefore) {
      page.before.push_back(item.text);
    } else {
      ADD_FAILURE() << "unexpected command inside the image: " << item.text;
    }
  }
  return pages;
}
