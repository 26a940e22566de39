// Shows what the filter sent to the printer. Reads a captured printer stream
// (the filter's standard output, or a printer's capture file), lists its
// commands one per line, the image commands with their fields, and writes
// each page's image as a PBM file when asked.
//   tmk-decode [-p PREFIX] [STREAM-FILE]
// Without a file the stream comes from standard input. With -p, page N goes
// to PREFIX-N.pbm, 8 pixels per byte of each row as the printer gets them.
// Exit status 0 when the whole stream was read and every page was whole; 1
// after an "ERROR: " line for bytes that are no command of the label
// language, an image command cut short or a payload that does not decode,
// or bands that do not make up their page.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t kMostBandRows = 200;

struct Page {
  uint32_t bytesPerLine = 0;
  uint64_t rows = 0;
  std::vector<uint8_t> pixels;
  bool inImage = false;
};

class Decoder {
 public:
  Decoder(std::string_view stream, const char* prefix) : stream_(stream), prefix_(prefix) {}

  int run() {
    while (at_ < stream_.size()) {
      const std::string_view rest = stream_.substr(at_);
      const bool read = rest.starts_with("LCR")  ? image(true)
                        : rest.starts_with("LD") ? image(false)
                                                 : command();
      if (!read) return 1;
    }
    if (page_.inImage || page_.rows > 0) fail("the stream ends inside a page (no P1 after its image)");
    return failed_ ? 1 : 0;
  }

 private:
  // One command up to its CR LF; bytes that are no text are shown as \xNN.
  bool command() {
    const size_t end = stream_.find("\r\n", at_);
    if (end == std::string_view::npos) {
      fail("bytes without a line end at byte " + std::to_string(at_));
      return false;
    }
    const std::string_view text = stream_.substr(at_, end - at_);
    at_ = end + 2;
    if (text.empty()) {
      std::puts(page_.inImage ? "(end of image)" : "(empty line)");
      page_.inImage = false;
      return true;
    }
    std::string shown;
    for (const char c : text) {
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
    if (text == "SOT") startPage();
    if (text.starts_with("P1")) endPage();
    return true;
  }

  uint32_t field(size_t offset) const {
    return static_cast<uint8_t>(stream_[offset]) | uint32_t{static_cast<uint8_t>(stream_[offset + 1])} << 8;
  }

  // "LD" (10 bytes) or "LCR" (12 bytes): the start row, bytes per line and
  // rows as 16-bit little-endian numbers in the last six bytes, then the
  // rows as they are or run-length coded.
  bool image(bool compressed) {
    const size_t headerSize = compressed ? 12 : 10;
    const size_t commandAt = at_;
    if (stream_.size() - at_ < headerSize) {
      fail("image command cut short at byte " + std::to_string(commandAt));
      return false;
    }
    const size_t fields = at_ + headerSize - 6;
    const uint32_t startRow = field(fields);
    const uint32_t bytesPerLine = field(fields + 2);
    const uint32_t rows = field(fields + 4);
    at_ += headerSize;
    // A band holds 1 to 200 rows; anything else is no band of this filter,
    // and its size is not to be trusted for memory.
    if (rows == 0 || rows > kMostBandRows) {
      fail("the image command at byte " + std::to_string(commandAt) + " carries " + std::to_string(rows) +
           " rows (1 to 200 expected)");
      return false;
    }
    const uint64_t length = uint64_t{bytesPerLine} * rows;
    std::vector<uint8_t> band;
    size_t payloadBytes = 0;
    if (compressed) {
      if (!decodeRuns(length, band, payloadBytes)) {
        fail("run-length payload of the image command at byte " + std::to_string(commandAt) +
             " does not decode to " + std::to_string(length) + " bytes");
        return false;
      }
    } else {
      if (stream_.size() - at_ < length) {
        fail("image command at byte " + std::to_string(commandAt) + " cut short: " + std::to_string(length) +
             " bytes of rows announced, " + std::to_string(stream_.size() - at_) + " there");
        return false;
      }
      band.assign(stream_.begin() + static_cast<std::ptrdiff_t>(at_),
                  stream_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
      payloadBytes = length;
      at_ += length;
    }
    std::printf("%s start row %u, %u bytes per line, %u rows", compressed ? "LCR" : "LD", startRow, bytesPerLine,
                rows);
    if (compressed) std::printf(": %zu payload bytes", payloadBytes);
    std::putchar('\n');
    addBand(commandAt, startRow, bytesPerLine, rows, band);
    return true;
  }

  // Items of 0x00 or 0xFF and a count of 1 to 255, other bytes as they are,
  // until the band is whole.
  bool decodeRuns(uint64_t length, std::vector<uint8_t>& band, size_t& payloadBytes) {
    const size_t start = at_;
    while (band.size() < length) {
      if (at_ >= stream_.size()) return false;
      const auto value = static_cast<uint8_t>(stream_[at_++]);
      if (value != 0x00 && value != 0xFF) {
        band.push_back(value);
        continue;
      }
      if (at_ >= stream_.size()) return false;
      const auto count = static_cast<uint8_t>(stream_[at_++]);
      if (count == 0 || band.size() + count > length) return false;
      band.insert(band.end(), count, value);
    }
    payloadBytes = at_ - start;
    return true;
  }

  void addBand(size_t commandAt, uint32_t startRow, uint32_t bytesPerLine, uint32_t rows,
               const std::vector<uint8_t>& band) {
    const std::string where = "the image command at byte " + std::to_string(commandAt);
    if (!page_.inImage && page_.rows > 0) fail(where + " comes after its page's image ended");
    if (!pageOpen_) {
      fail(where + " comes before any SOT");
      pageOpen_ = true;  // shown as a page all the same
    }
    if (page_.rows == 0) page_.bytesPerLine = bytesPerLine;
    if (bytesPerLine != page_.bytesPerLine) {
      fail(where + " has " + std::to_string(bytesPerLine) + " bytes per line, the page " +
           std::to_string(page_.bytesPerLine));
    }
    // The start row field holds the low 16 bits of the row.
    if (startRow != (page_.rows & 0xFFFF)) {
      fail(where + " starts at row " + std::to_string(startRow) + ", the page has " + std::to_string(page_.rows) +
           " rows so far");
    }
    page_.inImage = true;
    page_.rows += rows;
    if (bytesPerLine == page_.bytesPerLine) page_.pixels.insert(page_.pixels.end(), band.begin(), band.end());
  }

  void startPage() {
    if (pageOpen_ && (page_.inImage || page_.rows > 0)) fail("SOT inside page " + std::to_string(pages_ + 1));
    page_ = Page{};
    pageOpen_ = true;
  }

  void endPage() {
    if (!pageOpen_) return;  // P1 of a text command file
    ++pages_;
    pageOpen_ = false;
    const uint64_t width = uint64_t{page_.bytesPerLine} * 8;
    std::printf("page %d: %llu x %llu pixels", pages_, static_cast<unsigned long long>(width),
                static_cast<unsigned long long>(page_.rows));
    if (prefix_ != nullptr && page_.rows > 0) {
      const std::string name = std::string(prefix_) + "-" + std::to_string(pages_) + ".pbm";
      if (writePbm(name, width)) {
        std::printf(", written to %s", name.c_str());
      } else {
        fail("cannot write " + name + ": " + std::strerror(errno));
      }
    }
    std::putchar('\n');
    page_ = Page{};
  }

  // Plain PBM (P4): 1 is black, the leftmost pixel in the high bit, as in
  // the printer's rows.
  bool writePbm(const std::string& name, uint64_t width) const {
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) return false;
    std::fprintf(file, "P4\n%llu %llu\n", static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(page_.rows));
    const bool written = std::fwrite(page_.pixels.data(), 1, page_.pixels.size(), file) == page_.pixels.size();
    return std::fclose(file) == 0 && written;
  }

  void fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "ERROR: %s\n", what.c_str());
    failed_ = true;
  }

  std::string_view stream_;
  const char* prefix_;
  size_t at_ = 0;
  Page page_;
  bool pageOpen_ = false;
  int pages_ = 0;
  bool failed_ = false;
};

bool readAll(FILE* file, std::string& into) {
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) into.append(buffer, got);
  return std::ferror(file) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* prefix = nullptr;
  int option;
  while ((option = getopt(argc, argv, "p:")) != -1) {
    if (option != 'p') {
      std::fputs("usage: tmk-decode [-p PREFIX] [STREAM-FILE]\n", stderr);
      return 2;
    }
    prefix = optarg;
  }
  if (argc - optind > 1) {
    std::fputs("usage: tmk-decode [-p PREFIX] [STREAM-FILE]\n", stderr);
    return 2;
  }
  FILE* input = stdin;
  if (optind < argc) {
    input = std::fopen(argv[optind], "rb");
    if (input == nullptr) {
      std::fprintf(stderr, "ERROR: cannot open %s: %s\n", argv[optind], std::strerror(errno));
      return 1;
    }
  }
  std::string stream;
  if (!readAll(input, stream)) {
    std::fprintf(stderr, "ERROR: cannot read the stream: %s\n", std::strerror(errno));
    return 1;
  }
  int status = 1;
  try {
    status = Decoder(stream, prefix).run();
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("ERROR: the stream's pages do not fit in memory\n", stderr);
    return 1;
  }
  if (std::fflush(stdout) != 0) return 1;
  return status;
}
