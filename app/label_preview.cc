#include "label_preview.h"

#include <png.h>
#include <setjmp.h>

#include <cstdlib>

#include "decode/printer_stream.h"

size_t JobPreview::bytes() const {
  size_t total = sizeof(JobPreview) + problem.capacity() + labels.capacity() * sizeof(LabelPreview);
  for (const LabelPreview& label : labels) total += label.png.capacity();
  return total;
}

namespace {

void appendPng(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

void flushPng(png_structp /*png*/) {}

void pngFailed(png_structp png, png_const_charp /*message*/) { png_longjmp(png, 1); }

void pngWarned(png_structp /*png*/, png_const_charp /*message*/) {}

// Only plain data between setjmp and libpng's longjmp: no destructor is
// skipped.
bool writePng(png_structp png, png_infop info, std::string* out, uint32_t width, uint32_t height,
              uint32_t bytesPerLine, const uint8_t* pixels) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, out, appendPng, flushPng);
  png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  // Labels are mostly runs: fast filters lose little here.
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  // The printer's 1 is black, PNG's 0.
  png_set_invert_mono(png);
  for (uint32_t row = 0; row < height; ++row) png_write_row(png, pixels + size_t{row} * bytesPerLine);
  png_write_end(png, info);
  return true;
}

// "CUTy,N" cuts after every N labels, "CUTn" not at all.
void noteCut(const std::string& command, int32_t& period) {
  if (command == "CUTn") period = 0;
  if (!command.starts_with("CUTy")) return;
  const long value = command.size() > 5 && command[4] == ',' ? std::strtol(command.c_str() + 5, nullptr, 10) : 1;
  period = value > 0 && value <= INT32_MAX ? static_cast<int32_t>(value) : 1;
}

// "P1,N" prints N copies, "P1" one.
uint32_t copiesOf(const std::vector<std::string>& after) {
  for (const std::string& command : after) {
    if (!command.starts_with("P1")) continue;
    const long value = command.size() > 3 && command[2] == ',' ? std::strtol(command.c_str() + 3, nullptr, 10) : 1;
    return value > 0 && value <= INT32_MAX ? static_cast<uint32_t>(value) : 1;
  }
  return 1;
}

}  // namespace

std::string pngOfLabel(uint32_t width, uint32_t height, uint32_t bytesPerLine, std::span<const uint8_t> pixels) {
  std::string out;
  if (width == 0 || height == 0 || width > 8 * uint64_t{bytesPerLine} ||
      pixels.size() < uint64_t{bytesPerLine} * height) {
    return out;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  const bool written = info != nullptr && writePng(png, info, &out, width, height, bytesPerLine, pixels.data());
  png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  if (!written) out.clear();
  return out;
}

JobPreview previewLabels(std::string_view stream, bool whole) {
  JobPreview preview;
  preview.whole = whole;
  // Said first: the stream's end is then no fault of the job's.
  if (!whole) preview.problem = "the job sent more than the preview keeps";
  int32_t cutPeriod = 0;
  size_t pngBytes = 0;
  StreamReport report;
  report.keepBands = false;
  report.mostPageBytes = kMostLabelBytes;
  report.setup = [&](const std::string& command) { noteCut(command, cutPeriod); };
  report.problem = [&](const std::string& what) {
    if (preview.problem.empty()) preview.problem = what;
  };
  report.page = [&](PrintedPage&& page) {
    for (const std::string& command : page.before) noteCut(command, cutPeriod);
    for (const std::string& command : page.after) noteCut(command, cutPeriod);
    if (page.rows == 0 && page.image.pixels.empty()) return;  // no label printed
    ++preview.labelCount;
    if (preview.labels.size() >= kMostLabels) return;
    LabelPreview label;
    label.width = page.image.width;
    label.height = page.image.height;
    label.copies = copiesOf(page.after);
    label.cutPeriod = cutPeriod;
    if (page.rows == page.image.height && pngBytes < kMostPngBytes) {
      label.png = pngOfLabel(page.image.width, page.image.height, page.image.bytesPerLine, page.image.pixels);
      if (pngBytes + label.png.size() > kMostPngBytes) label.png.clear();
      label.png.shrink_to_fit();
      pngBytes += label.png.size();
    }
    preview.labels.push_back(std::move(label));
  };
  if (!readStream(stream, report)) preview.whole = false;
  return preview;
}
