// A job's labels as the printer got them, read back from the bytes the
// filter sent and kept as small 1-bit PNG images, so that the web pages show
// a cut-off, shifted or too light label without a printer. No PAPPL.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct LabelPreview {
  uint32_t width = 0;   // dots, as the bands' bytes per line make it
  uint32_t height = 0;  // dots
  uint32_t copies = 1;
  int32_t cutPeriod = 0;  // a cut after every so many labels; 0 for none
  std::string png;        // empty when the job's room for images was used up
};

struct JobPreview {
  std::vector<LabelPreview> labels;  // the first kMostLabels
  uint64_t labelCount = 0;
  bool whole = true;    // every byte was kept and read without a problem
  std::string problem;  // the first thing wrong with the stream, if any

  // The memory the preview keeps.
  size_t bytes() const;
};

// The bounds of a job's preview: its labels shown, the bytes of their
// images, the bytes of the printer stream kept for it, and of one label's
// image as it is read.
inline constexpr size_t kMostLabels = 10;
inline constexpr size_t kMostPngBytes = size_t{2} << 20;
inline constexpr size_t kMostStreamBytes = size_t{16} << 20;
inline constexpr uint64_t kMostLabelBytes = uint64_t{32} << 20;

// The job's labels from its printer stream; `whole` false when the stream
// was cut short as it was kept.
JobPreview previewLabels(std::string_view stream, bool whole);

// A 1-bit image as PNG: rows of bytesPerLine bytes, 1 for black, the
// leftmost dot in the high bit. Empty when libpng fails.
std::string pngOfLabel(uint32_t width, uint32_t height, uint32_t bytesPerLine, std::span<const uint8_t> pixels);
