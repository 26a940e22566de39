#include "decode/listing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "decode/printer_stream.h"

namespace {

void listItem(const StreamItem& item, bool endsImage) {
  if (item.image) {
    std::printf("%s start row %u, %u bytes per line, %u rows", item.compressed ? "LCR" : "LD", item.startRow,
                item.bytesPerLine, item.rows);
    if (item.compressed) std::printf(": %zu payload bytes", item.payload.size());
    std::putchar('\n');
    return;
  }
  if (item.text.empty()) {
    std::puts(endsImage ? "(end of image)" : "(empty line)");
    return;
  }
  std::string shown;
  for (const char c : item.text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  std::puts(shown.c_str());
}

void showError(const std::string& what) {
  std::fflush(stdout);  // in its place among the listed lines
  std::fprintf(stderr, "ERROR: %s\n", what.c_str());
}

// Plain PBM (P4): 1 is black, the leftmost pixel in the high bit, as in the
// printer's rows.
bool writePbm(const std::string& name, const PrintedPage& page) {
  FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "P4\n%u %llu\n", page.image.width, static_cast<unsigned long long>(page.rows));
  const std::vector<uint8_t>& pixels = page.image.pixels;
  const bool written = std::fwrite(pixels.data(), 1, pixels.size(), file) == pixels.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int listStream(std::string_view stream, const char* pbmPrefix) {
  int pages = 0;
  bool pbmFailed = false;
  StreamReport report;
  report.keepBands = false;
  report.item = listItem;
  report.problem = showError;
  report.page = [&](PrintedPage&& page) {
    ++pages;
    std::printf("page %d: %u x %llu pixels", pages, page.image.width, static_cast<unsigned long long>(page.rows));
    if (pbmPrefix != nullptr && page.rows > 0) {
      const std::string name = std::string(pbmPrefix) + "-" + std::to_string(pages) + ".pbm";
      if (writePbm(name, page)) {
        std::printf(", written to %s", name.c_str());
      } else {
        showError("cannot write " + name + ": " + std::strerror(errno));
        pbmFailed = true;
      }
    }
    std::putchar('\n');
  };
  const bool whole = readStream(stream, report);
  return whole && !pbmFailed ? 0 : 1;
}
