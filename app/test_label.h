// The test label drawn in the printer's dots: a frame one dot inside the
// edges, millimetre rulers along the top and left edges, the printer's
// settings as text and a darkness ramp. No PAPPL in here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 1-bit dots, a set bit black, the leftmost dot in a byte's top bit.
struct LabelBitmap {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> bits;

  uint64_t bytesPerLine() const { return (uint64_t{width} + 7) / 8; }
  const uint8_t* row(uint32_t y) const { return bits.data() + y * bytesPerLine(); }
};

struct TestLabel {
  uint32_t width = 0;       // dots across the head
  uint32_t length = 0;      // dots along the feed
  unsigned resolution = 0;  // dots per inch
  // What the label says, most wanted first: the lines that find no room on a
  // small label are left out from the end. Long lines wrap at spaces.
  std::vector<std::string> lines;
};

LabelBitmap drawTestLabel(const TestLabel& label);
