#include "test_label.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>
#include <utility>

#include "label_font.h"

namespace {

// Thresholds of an 8 x 8 ordered dither: a step of the ramp at level k of
// 64 has exactly the dots whose threshold is below k. The printer prints
// whole dots only and the app would threshold gray at one level, so the
// ramp is dithered here; an ordered dither rather than error diffusion, as
// its regular pattern gives each step an exact share of dots and shows
// whether single dots print at the darkness set.
constexpr std::array<uint8_t, 64> kThresholds = [] {
  std::array<uint8_t, 64> matrix{};
  for (int size = 1; size < 8; size *= 2) {
    std::array<uint8_t, 64> next{};
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        const auto value = static_cast<uint8_t>(4 * matrix[y * 8 + x]);
        next[y * 8 + x] = value;
        next[y * 8 + x + size] = static_cast<uint8_t>(value + 2);
        next[(y + size) * 8 + x] = static_cast<uint8_t>(value + 3);
        next[(y + size) * 8 + x + size] = static_cast<uint8_t>(value + 1);
      }
    }
    matrix = next;
  }
  return matrix;
}();
static_assert(kThresholds[0] == 0 && kThresholds[1] == 32 && kThresholds[9] == 16 && kThresholds[63] == 21);

// Dots drawn by position, those off the label dropped.
class Canvas {
 public:
  explicit Canvas(LabelBitmap& bitmap) : bitmap_(bitmap) {}

  void dot(int64_t x, int64_t y) {
    if (x < 0 || y < 0 || x >= bitmap_.width || y >= bitmap_.height) return;
    const uint64_t at = static_cast<uint64_t>(y) * bitmap_.bytesPerLine() + static_cast<uint64_t>(x) / 8;
    bitmap_.bits[static_cast<size_t>(at)] |= static_cast<uint8_t>(0x80 >> (x % 8));
  }
  // A rectangle with `level` of 64 of its dots black.
  void fill(int64_t left, int64_t top, int64_t width, int64_t height, int level = 64) {
    const int64_t right = std::min<int64_t>(left + width, bitmap_.width);
    const int64_t bottom = std::min<int64_t>(top + height, bitmap_.height);
    for (int64_t y = std::max<int64_t>(top, 0); y < bottom; ++y) {
      for (int64_t x = std::max<int64_t>(left, 0); x < right; ++x) {
        if (kThresholds[static_cast<size_t>(y % 8 * 8 + x % 8)] < level) dot(x, y);
      }
    }
  }
  void text(int64_t left, int64_t top, std::string_view line, int64_t scale) {
    for (const char c : line) {
      const auto& columns = glyph(c);
      for (int64_t column = 0; column < kGlyphWidth; ++column) {
        for (int64_t row = 0; row < kGlyphHeight; ++row) {
          if ((columns[static_cast<size_t>(column)] >> row) & 1) {
            fill(left + column * scale, top + row * scale, scale, scale);
          }
        }
      }
      left += kCellWidth * scale;
    }
  }

 private:
  LabelBitmap& bitmap_;
};

// Dots of a text line, without the blank column after its last glyph.
int64_t textWidth(size_t characters, int64_t scale) {
  return characters == 0 ? 0 : (static_cast<int64_t>(characters) * kCellWidth - 1) * scale;
}

// The lines cut at spaces to at most `columns` characters each; a word
// longer than that is left out, as half a word would mislead.
std::vector<std::string> wrapped(const std::vector<std::string>& lines, size_t columns) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    std::string current;
    size_t start = 0;
    while (start <= line.size()) {
      const size_t end = std::min(line.find(' ', start), line.size());
      const std::string word = line.substr(start, end - start);
      start = end + 1;
      if (word.empty() || word.size() > columns) continue;
      if (!current.empty() && current.size() + 1 + word.size() > columns) out.push_back(std::exchange(current, {}));
      current += (current.empty() ? "" : " ") + word;
    }
    if (!current.empty()) out.push_back(current);
  }
  return out;
}

// The rulers' ticks and numbers, and the room they take from the edges.
struct Rulers {
  int64_t shortTick, midTick, longTick;  // 1, 5 and 10 mm
  int64_t numberScale;
  int64_t topBand, leftBand;  // dots from the top and left edges that the rulers take
};

}  // namespace

LabelBitmap drawTestLabel(const TestLabel& label) {
  LabelBitmap bitmap;
  bitmap.width = label.width;
  bitmap.height = label.length;
  bitmap.bits.assign(static_cast<size_t>(bitmap.bytesPerLine() * label.length), 0);
  if (label.width < 4 || label.length < 4 || label.resolution == 0) return bitmap;

  Canvas canvas(bitmap);
  const auto width = static_cast<int64_t>(label.width);
  const auto length = static_cast<int64_t>(label.length);
  const double dotsPerMm = label.resolution / 25.4;
  const auto mm = [dotsPerMm](double millimetres) { return std::llround(millimetres * dotsPerMm); };

  // The frame, one dot inside each edge: where it is cut off, the label
  // sits off the head or off the feed by that much.
  canvas.fill(1, 1, width - 2, 1);
  canvas.fill(1, length - 2, width - 2, 1);
  canvas.fill(1, 1, 1, length - 2);
  canvas.fill(width - 2, 1, 1, length - 2);

  // The rulers count millimetres from the label's top left corner, their
  // ticks from just inside the frame; a number every 10 mm after its tick,
  // past the short ticks' ends, where it fits before the next 5 mm tick.
  Rulers rulers{};
  rulers.shortTick = std::max<int64_t>(2, mm(0.8));
  rulers.midTick = std::max<int64_t>(rulers.shortTick + 1, mm(1.5));
  rulers.longTick = std::max<int64_t>(rulers.midTick + 1, mm(2.5));
  rulers.numberScale = std::max<int64_t>(1, label.resolution / 200);
  const int64_t numberGap = rulers.numberScale;
  const int64_t numberHeight = kGlyphHeight * rulers.numberScale;
  int64_t widestNumber = 0;
  const auto ruler = [&](bool across) {
    const int64_t extent = across ? width : length;
    for (int64_t millimetre = 1;; ++millimetre) {
      const int64_t at = mm(static_cast<double>(millimetre));
      if (at >= extent - 2) break;
      const int64_t tick = millimetre % 10 == 0 ? rulers.longTick : millimetre % 5 == 0 ? rulers.midTick
                                                                                          : rulers.shortTick;
      if (across) {
        canvas.fill(at, 2, 1, tick);
      } else {
        canvas.fill(2, at, tick, 1);
      }
      if (millimetre % 10 != 0) continue;
      const std::string number = std::to_string(millimetre);
      const int64_t numberWidth = textWidth(number.size(), rulers.numberScale);
      const int64_t along = at + 2 * numberGap;  // the number's start along the ruler
      const int64_t away = 2 + rulers.shortTick + numberGap;
      const int64_t next = mm(static_cast<double>(millimetre + 5));
      if (across) {
        if (along + numberWidth < std::min(next, width - 2) && away + numberHeight < length - 2) {
          canvas.text(along, away, number, rulers.numberScale);
        }
      } else if (along + numberHeight < std::min(next, length - 2) && away + numberWidth < width - 2) {
        canvas.text(away, along, number, rulers.numberScale);
        widestNumber = std::max(widestNumber, numberWidth);
      }
    }
  };
  ruler(true);
  ruler(false);
  const int64_t gap = std::max<int64_t>(2, mm(1));
  rulers.topBand = 2 + std::max(rulers.longTick, rulers.shortTick + numberGap + numberHeight) + gap;
  rulers.leftBand = 2 + std::max(rulers.longTick, rulers.shortTick + numberGap + widestNumber) + gap;

  // The room inside the rulers and the frame.
  const int64_t left = rulers.leftBand;
  const int64_t top = rulers.topBand;
  const int64_t right = width - 2 - gap;
  const int64_t bottom = length - 2 - gap;
  if (right <= left || bottom <= top) return bitmap;

  // The ramp, 4 mm high or a third of the room, takes its room first: a
  // label too small for it and a line of text has the text only.
  const int64_t rampHeight = std::min<int64_t>(mm(4), (bottom - top) / 3);
  // Text about 2 mm high, smaller where fewer than 16 characters would fit
  // on a line, but never below the rulers' numbers, which are still read.
  int64_t scale = std::max<int64_t>(1, label.resolution / 100);
  while (scale > rulers.numberScale && textWidth(16, scale) > right - left) --scale;
  const int64_t lineHeight = kCellHeight * scale;
  const bool ramp = bottom - top >= rampHeight + gap + lineHeight;
  const int64_t textBottom = ramp ? bottom - rampHeight - gap : bottom;

  int64_t y = top;
  const size_t columns = static_cast<size_t>((right - left + scale) / (kCellWidth * scale));
  for (const std::string& line : wrapped(label.lines, columns)) {
    if (y + lineHeight > textBottom) break;
    canvas.text(left, y, line, scale);
    y += lineHeight;
  }

  // Eight steps from an eighth of the dots to all of them, left to right.
  if (ramp) {
    constexpr int kSteps = 8;
    const int64_t rampTop = y + gap;
    const int64_t stepWidth = std::max<int64_t>(1, (right - left) / kSteps);
    for (int step = 0; step < kSteps; ++step) {
      canvas.fill(left + step * stepWidth, rampTop, stepWidth, rampHeight, (step + 1) * 64 / kSteps);
    }
  }
  return bitmap;
}
