#include "commands/commands.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "commands/output.h"
#include "settings/models.h"
#include "settings/numeric.h"
#include "settings/settings.h"

namespace {

constexpr const char* kTrace = "TAMRISK Label Driver DEBUG MSG : ";

// Formats one piece of a command and writes it to the printer stream through
// writeOutput, so that a failed write is remembered for the job's report. A
// command piece is a mnemonic and at most two 32-bit numbers: 64 bytes hold it.
[[gnu::format(printf, 1, 2)]] void emit(const char* format, ...) {
  std::array<char, 64> text{};
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  // vsnprintf tells the length the text would have had; only what fits was written.
  if (length > 0) writeOutput(text.data(), std::min(static_cast<size_t>(length), text.size() - 1));
}

// A whole command with no values: its text, then the CR LF line end.
void emitLine(const char* text) { emit("%s\r\n", text); }

// Whole millimetres to printer dots: a single-precision product with Dot,
// truncated toward zero (so -3 mm gives -35 at 11.8, not -36).
int32_t millimetresToDots(int32_t millimetres) {
  const float product = static_cast<float>(millimetres) * Dot;
  return truncateToInt32(product);
}

char sensorLetter(int32_t sensorType) {
  switch (sensorType) {
    case 0:
      return 'G';
    case 1:
      return 'C';
    default:
      return 'B';
  }
}

}  // namespace

void setLength(int32_t sensorType, int32_t lengthDot, int32_t bmOffset, int32_t modelNumber) {
  emit("SL%d,%d", lengthDot, 24);
  const char letter = sensorLetter(sensorType);
  emit(",%c", letter);
  const int32_t offset = millimetresToDots(bmOffset);
  // The millimetre value decides, not the dots: a tiny offset still travels.
  if (bmOffset != 0 && offsetGoesInLength(modelNumber)) emit(",%d", offset);
  emit("\r\n");
  std::fprintf(stderr, "%ssetLength() : SL%d,%d,%c,%d\n", kTrace, lengthDot, 24, letter, offset);
  if (!offsetGoesInLength(modelNumber)) {
    emit("SA%d\r\n", offset);
    std::fprintf(stderr, "%ssetLength() : SA%d\n", kTrace, offset);
  }
}

void setWidth(int32_t widthDot) {
  emit("SW%d\r\n", widthDot);
  std::fprintf(stderr, "%ssetWidth() : SW%d\n", kTrace, widthDot);
}

void setMediaType(int32_t mediaType) {
  if (mediaType != 0 && mediaType != 1) return;
  const char* command = mediaType == 0 ? "STd" : "STt";
  emitLine(command);
  std::fprintf(stderr, "%ssetMediaType() : %s\n", kTrace, command);
}

void setDarkness(int32_t darkness) {
  emit("SD%d\r\n", darkness);
  std::fprintf(stderr, "%ssetDarkness() : SD%d\n", kTrace, darkness);
}

void setMargin(int32_t xMargin, int32_t yMargin) {
  const int32_t x = millimetresToDots(xMargin);
  const int32_t y = millimetresToDots(yMargin);
  emit("SM%d,%d\r\n", x, y);
  std::fprintf(stderr, "%ssetMargin() : SM%d,%d\n", kTrace, x, y);
}

void setSpeed(int32_t printSpeed) {
  emit("SS%d\r\n", printSpeed);
  std::fprintf(stderr, "%ssetSpeed() : SS%d\n", kTrace, printSpeed);
}

void setToOffset(int32_t toOffset) {
  const int32_t offset = millimetresToDots(toOffset);
  emit("TA%d\r\n", offset);
  std::fprintf(stderr, "%ssetToOffset() : TA%d\n", kTrace, offset);
}

void setCutter(int32_t cutterMode, int32_t cutPeriod) {
  if (cutterMode != 0) {
    emit("CUTy,%d\r\n", cutPeriod);
    std::fprintf(stderr, "%ssetCutter() : CUTy\n", kTrace);
  } else {
    emitLine("CUTn");
    std::fprintf(stderr, "%ssetCutter() : CUTn\n", kTrace);
  }
  std::fprintf(stderr, "%scutterMode = %d\n", kTrace, cutterMode);
}

void setRewinder(int32_t rewinder) {
  const char* command = rewinder == 1 ? "RWDy" : "RWDn";
  emitLine(command);
  std::fprintf(stderr, "%ssetRewinder() : %s\n", kTrace, command);
}

void rotate180Degree() { emitLine("SOB"); }
