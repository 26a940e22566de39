#include "decode/printer_stream.h"

#include <new>

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

std::optional<size_t> decodeRuns(std::span<const uint8_t> payload, size_t length, std::vector<uint8_t>& out) {
  size_t made = 0;
  size_t at = 0;
  while (made < length) {
    if (at >= payload.size()) return std::nullopt;
    const uint8_t value = payload[at++];
    if (value != 0x00 && value != 0xFF) {
      out.push_back(value);
      ++made;
      continue;
    }
    if (at >= payload.size()) return std::nullopt;
    const uint8_t count = payload[at++];
    if (count == 0 || count > length - made) return std::nullopt;
    out.insert(out.end(), count, value);
    made += count;
  }
  return at;
}

namespace {

constexpr uint16_t kMostBandRows = 200;

uint16_t field(std::string_view stream, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(stream[at]) | static_cast<uint8_t>(stream[at + 1]) << 8);
}

// "LD" (10 bytes) or "LCR" (12 bytes): the start row, bytes per line and
// rows as 16-bit little-endian numbers in the last six bytes, then the rows
// as they are or run-length coded. Returns "" and the position after it, or
// what is wrong.
std::string readImage(std::string_view stream, size_t& at, StreamItem& item) {
  item.image = true;
  item.compressed = stream.substr(at).starts_with("LCR");
  const size_t headerSize = item.compressed ? 12 : 10;
  const std::string where = std::to_string(at);
  if (stream.size() - at < headerSize) return "image command cut short at byte " + where;
  const size_t fields = at + headerSize - 6;
  item.startRow = field(stream, fields);
  item.bytesPerLine = field(stream, fields + 2);
  item.rows = field(stream, fields + 4);
  // A band holds 1 to 200 rows; anything else is no band of this filter,
  // and its size is not to be trusted for memory.
  if (item.rows == 0 || item.rows > kMostBandRows) {
    return "the image command at byte " + where + " carries " + std::to_string(item.rows) +
           " rows (1 to 200 expected)";
  }
  const size_t length = size_t{item.bytesPerLine} * item.rows;
  const std::span rest(reinterpret_cast<const uint8_t*>(stream.data()) + at + headerSize,
                       stream.size() - at - headerSize);
  item.pixels.reserve(length);
  if (item.compressed) {
    const std::optional<size_t> used = decodeRuns(rest, length, item.pixels);
    if (!used) {
      return "run-length payload of the image command at byte " + where + " does not decode to " +
             std::to_string(length) + " bytes";
    }
    item.payload.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(*used));
    at += headerSize + *used;
  } else {
    if (rest.size() < length) {
      return "image command at byte " + where + " cut short: " + std::to_string(length) +
             " bytes of rows announced, " + std::to_string(rest.size()) + " there";
    }
    item.pixels.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length));
    at += headerSize + length;
  }
  return "";
}

// The item at `at`: an image command, or a command up to its CR LF.
std::string readItem(std::string_view stream, size_t& at, StreamItem& item) {
  item.offset = at;
  const std::string_view rest = stream.substr(at);
  if (rest.starts_with("LD") || rest.starts_with("LCR")) return readImage(stream, at, item);
  const size_t end = rest.find("\r\n");
  if (end == std::string_view::npos) return "bytes without a line end at byte " + std::to_string(at);
  item.text = rest.substr(0, end);
  at += end + 2;
  return "";
}

// The page being put together. A page opens at SOT (or, wrongly, at an image
// command before any SOT) and ends at P1; its image runs from its first band
// to the bare CR LF after its last.
struct Assembly {
  explicit Assembly(const StreamReport& told) : report(told) {}

  const StreamReport& report;
  bool ok = true;
  PrintedPage page;
  bool open = false;
  bool inImage = false;
  int32_t ended = 0;

  void problem(const std::string& what) {
    ok = false;
    if (report.problem) report.problem(what);
  }

  void startPage() {
    if (open && (inImage || page.rows > 0)) problem("SOT inside page " + std::to_string(ended + 1));
    page = PrintedPage{};
    inImage = false;
    open = true;
  }

  void command(std::string&& text) {
    const bool endsImage = text.empty() && inImage;
    if (text == "SOT") startPage();
    if (endsImage) {
      inImage = false;
    } else if (!open) {
      if (report.setup) report.setup(text);
    } else {
      const bool ends = text.starts_with("P1");
      (page.rows == 0 && !ends ? page.before : page.after).push_back(std::move(text));
      if (ends) endPage();
    }
  }

  void endPage() {
    ++ended;
    open = false;
    inImage = false;
    if (report.page) report.page(std::move(page));
    page = PrintedPage{};
  }

  // False when the page outgrows the reader's bound and reading ends.
  bool band(StreamItem&& item) {
    const std::string where = "the image command at byte " + std::to_string(item.offset);
    const uint64_t grown = uint64_t{page.image.pixels.size()} + item.pixels.size();
    if (report.mostPageBytes != 0 && grown > report.mostPageBytes) {
      problem(where + " makes its page's image larger than " + std::to_string(report.mostPageBytes) + " bytes");
      return false;
    }
    if (!inImage && page.rows > 0) problem(where + " comes after its page's image ended");
    if (!open) {
      problem(where + " comes before any SOT");
      open = true;  // shown as a page all the same
    }
    Image& image = page.image;
    if (page.rows == 0) {
      image.bytesPerLine = item.bytesPerLine;
      image.width = 8 * image.bytesPerLine;
    }
    if (item.bytesPerLine != image.bytesPerLine) {
      problem(where + " has " + std::to_string(item.bytesPerLine) + " bytes per line, the page " +
              std::to_string(image.bytesPerLine));
    }
    // The start row field holds the low 16 bits of the row.
    if (item.startRow != (page.rows & 0xFFFF)) {
      problem(where + " starts at row " + std::to_string(item.startRow) + ", the page has " +
              std::to_string(page.rows) + " rows so far");
    }
    inImage = true;
    page.rows += item.rows;
    image.height = static_cast<uint32_t>(page.rows);
    if (item.bytesPerLine == image.bytesPerLine) {
      image.pixels.insert(image.pixels.end(), item.pixels.begin(), item.pixels.end());
    }
    if (report.keepBands) page.bands.push_back(std::move(item));
    return true;
  }
};

}  // namespace

bool readStream(std::string_view stream, const StreamReport& report) {
  Assembly assembly{report};
  try {
    size_t at = 0;
    while (at < stream.size()) {
      StreamItem item;
      const std::string wrong = readItem(stream, at, item);
      if (!wrong.empty()) {
        assembly.problem(wrong);
        return false;
      }
      if (report.item) report.item(item, !item.image && item.text.empty() && assembly.inImage);
      if (item.image) {
        if (!assembly.band(std::move(item))) return false;
      } else {
        assembly.command(std::move(item.text));
      }
    }
    if (assembly.open && (assembly.inImage || assembly.page.rows > 0)) {
      assembly.problem("the stream ends inside a page (no P1 after its image)");
    }
  } catch (const std::bad_alloc&) {
    assembly.problem("the stream's pages do not fit in memory");
    return false;
  }
  return assembly.ok;
}

DecodedStream decodeStream(std::string_view stream) {
  DecodedStream decoded;
  StreamReport report;
  report.setup = [&](const std::string& text) { decoded.setup.push_back(text); };
  report.page = [&](PrintedPage&& page) { decoded.pages.push_back(std::move(page)); };
  report.problem = [&](const std::string& what) { decoded.problems.push_back(what); };
  readStream(stream, report);
  return decoded;
}
