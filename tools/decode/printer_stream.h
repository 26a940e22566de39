// Reading a captured printer stream back: its commands, its image commands
// with their run-length payload decoded, and the pages they make. Used by
// tmk-decode, the tests and the fuzz targets, so that all of them read the
// stream alike. Nothing here throws: what is wrong comes back as text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The image turned as `rotation` says, one pixel at a time: 1 is a quarter
// turn clockwise, 3 counter-clockwise; other values leave it as it is. The
// turned rows are (height + 7) / 8 bytes long with zero padding. Slow on
// purpose: it is the check for the filter's fast turn.
Image turnedByDefinition(const Image& source, int rotation);

// Decodes run-length items (0x00 or 0xFF and a count of 1 to 255, any other
// byte as it is) from the start of `payload` until `length` bytes are out,
// appended to `out`. Returns the payload bytes used, or nothing when the
// payload ends first, a count is 0 or a run goes past `length`.
std::optional<size_t> decodeRuns(std::span<const uint8_t> payload, size_t length, std::vector<uint8_t>& out);

// One item of the printer stream: an ASCII command (its text without CR LF;
// empty for a bare CR LF) or an image command.
struct StreamItem {
  size_t offset = 0;  // of its first byte in the stream
  std::string text;
  bool image = false;
  bool compressed = false;
  uint16_t startRow = 0;
  uint16_t bytesPerLine = 0;
  uint16_t rows = 0;
  std::vector<uint8_t> payload;  // of a compressed band, as sent
  std::vector<uint8_t> pixels;   // the band's rows
};

// A page as the printer takes it, from its SOT to its P1: the commands before
// its image (SOT, SOB), the image put together from its bands, the commands
// after it (cut, P1).
struct PrintedPage {
  std::vector<std::string> before;
  std::vector<std::string> after;
  Image image;  // width unknown: 8 x bytesPerLine
  uint64_t rows = 0;  // the bands' rows; image.height unless past 32 bits
  std::vector<StreamItem> bands;
};

// What reading a stream tells its caller, in stream order; any may be empty.
struct StreamReport {
  // Every item as it is read, before the page sees it; `endsImage` for the
  // bare CR LF that ends a page's image.
  std::function<void(const StreamItem&, bool endsImage)> item;
  // A command outside any page (the job setup).
  std::function<void(const std::string&)> setup;
  // Each page, at its P1.
  std::function<void(PrintedPage&&)> page;
  // What is wrong, in words, right after the item it is about.
  std::function<void(const std::string&)> problem;
  // Pages keep their bands; a reader that wants only the image saves memory.
  bool keepBands = true;
  // A page whose image grows past this many bytes ends the reading, so that
  // a reader of someone else's stream bounds its memory; 0 for no bound.
  uint64_t mostPageBytes = 0;
};

// Reads the stream and puts its pages together. Bytes that are no command
// (no CR LF), an image command cut short, of no or more than 200 rows, or
// whose payload does not decode, and a page past report.mostPageBytes end
// the reading; bands out of place, an SOT inside a page and a stream that
// ends inside a page are told and reading goes on. Returns true when the
// stream was read to its end without a problem.
bool readStream(std::string_view stream, const StreamReport& report);

// The whole stream at once.
struct DecodedStream {
  std::vector<std::string> setup;
  std::vector<PrintedPage> pages;
  std::vector<std::string> problems;
};
DecodedStream decodeStream(std::string_view stream);
