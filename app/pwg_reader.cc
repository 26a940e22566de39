#include "pwg_reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// Where libcups finds a header's numbers; they are read from the bytes, as
// the enum fields may hold numbers no enumerator has.
constexpr size_t kBitsPerColor = offsetof(cups_page_header2_t, cupsBitsPerColor);
constexpr size_t kBitsPerPixel = offsetof(cups_page_header2_t, cupsBitsPerPixel);
constexpr size_t kBytesPerLine = offsetof(cups_page_header2_t, cupsBytesPerLine);
constexpr size_t kHeight = offsetof(cups_page_header2_t, cupsHeight);
constexpr size_t kColorOrder = offsetof(cups_page_header2_t, cupsColorOrder);
constexpr size_t kColorSpace = offsetof(cups_page_header2_t, cupsColorSpace);
constexpr size_t kNumColors = offsetof(cups_page_header2_t, cupsNumColors);
// libcups turns the byte order of the 81 numbers from AdvanceDistance to the
// end of cupsReal; the strings after them are left as they come.
constexpr size_t kFirstNumber = offsetof(cups_page_header2_t, AdvanceDistance);
constexpr size_t kNumbersEnd = kFirstNumber + 81 * sizeof(uint32_t);
static_assert(kNumbersEnd == offsetof(cups_page_header2_t, cupsString));

// The most bytes a run repeats as one pixel: 240 bits per pixel.
constexpr uint32_t kLargestPixel = 30;

uint32_t number(std::span<const unsigned char> raw, size_t at) {
  uint32_t value;
  std::memcpy(&value, raw.data() + at, sizeof value);
  return value;
}

void setNumber(std::span<unsigned char> raw, size_t at, uint32_t value) {
  std::memcpy(raw.data() + at, &value, sizeof value);
}

// The colors of a color space as libcups counts them for a header that gives
// none; 0 for a space libcups does not know.
uint32_t colorsOf(uint32_t space, uint32_t bitsPerPixel) {
  switch (space) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_K:
    case CUPS_CSPACE_WHITE:
    case CUPS_CSPACE_GOLD:
    case CUPS_CSPACE_SILVER:
    case CUPS_CSPACE_SW:
      return 1;
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_CMY:
    case CUPS_CSPACE_YMC:
    case CUPS_CSPACE_CIEXYZ:
    case CUPS_CSPACE_CIELab:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
      return 3;
    case CUPS_CSPACE_RGBA:
    case CUPS_CSPACE_RGBW:
    case CUPS_CSPACE_CMYK:
    case CUPS_CSPACE_YMCK:
    case CUPS_CSPACE_KCMY:
    case CUPS_CSPACE_GMCK:
    case CUPS_CSPACE_GMCS:
      return 4;
    case CUPS_CSPACE_KCMYcm:
      return bitsPerPixel < 8 ? 6 : 4;
    default:
      break;
  }
  // The ICC-based spaces all count 3; DeviceN counts its own.
  if (space >= CUPS_CSPACE_ICC1 && space <= CUPS_CSPACE_ICCF) return 3;
  if (space >= CUPS_CSPACE_DEVICE1 && space <= CUPS_CSPACE_DEVICEF) return space - CUPS_CSPACE_DEVICE1 + 1;
  return 0;
}

// What the code 128 clears a row to: white in the additive spaces, no ink
// (0) in all others.
unsigned char blankOf(uint32_t space) {
  switch (space) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_RGBW:
    case CUPS_CSPACE_ADOBERGB:
      return 0xFF;
    default:
      return 0x00;
  }
}

// `to` filled with `pixel` over and over, the last one cut where `to` ends.
void repeatPixel(std::span<unsigned char> to, std::span<const unsigned char> pixel) {
  if (to.empty()) return;
  if (pixel.size() == 1) {
    std::memset(to.data(), pixel[0], to.size());
    return;
  }
  size_t done = std::min(pixel.size(), to.size());
  std::memcpy(to.data(), pixel.data(), done);
  // Whole pixels so far, so each copy of them continues the pattern.
  while (done < to.size()) {
    const size_t more = std::min(done, to.size() - done);
    std::memcpy(to.data() + done, to.data(), more);
    done += more;
  }
}

}  // namespace

PwgReader::PwgReader(int fd, size_t chunkSize)
    : fd_(fd),
      chunkSize_(std::max<size_t>(chunkSize, 1)),
      chunk_(std::make_unique_for_overwrite<unsigned char[]>(chunkSize_)) {}

bool PwgReader::fail() {
  state_ = State::failed;
  return false;
}

bool PwgReader::fill() {
  for (;;) {
    const ssize_t got = ::read(fd_, chunk_.get(), chunkSize_);
    if (got > 0) {
      at_ = 0;
      end_ = static_cast<size_t>(got);
      return true;
    }
    if (got == 0) return false;
    if (errno != EINTR) return fail();
  }
}

bool PwgReader::take(std::span<unsigned char> to) {
  while (!to.empty()) {
    if (at_ == end_ && !fill()) return false;
    const size_t count = std::min(to.size(), end_ - at_);
    std::memcpy(to.data(), chunk_.get() + at_, count);
    at_ += count;
    to = to.subspan(count);
  }
  return true;
}

bool PwgReader::skip(uint64_t count) {
  while (count > 0) {
    if (at_ == end_ && !fill()) return false;
    const size_t skipped = static_cast<size_t>(std::min<uint64_t>(count, end_ - at_));
    at_ += skipped;
    count -= skipped;
  }
  return true;
}

inline bool PwgReader::readByte(unsigned char& byte) {
  if (at_ == end_ && !fill()) return false;
  byte = chunk_[at_++];
  return true;
}

bool PwgReader::readSyncWord() {
  std::array<unsigned char, 4> bytes;
  if (!take(bytes)) return false;
  uint32_t sync;
  std::memcpy(&sync, bytes.data(), sizeof sync);
  // libcups names the words by this machine's order: PWG raster's "RaS2"
  // comes as CUPS_RASTER_REVSYNCv2 on a little-endian one. Apple raster is a
  // format of its own and not read here.
  switch (sync) {
    case CUPS_RASTER_SYNCv2:
    case CUPS_RASTER_REVSYNCv2:
      compressed_ = true;
      break;
    case CUPS_RASTER_SYNCv1:
    case CUPS_RASTER_REVSYNCv1:
      shortHeader_ = true;
      break;
    case CUPS_RASTER_SYNC:
    case CUPS_RASTER_REVSYNC:
      break;
    default:
      return false;
  }
  swapped_ = sync == CUPS_RASTER_REVSYNCv2 || sync == CUPS_RASTER_REVSYNCv1 || sync == CUPS_RASTER_REVSYNC;
  state_ = State::pages;
  return true;
}

bool PwgReader::readHeader(cups_page_header2_t& header) {
  std::memset(&header, 0, sizeof header);
  if (state_ == State::start && !readSyncWord()) return fail();
  if (state_ != State::pages) return false;
  if (at_ == end_ && !fill()) {
    if (!failed()) state_ = State::ended;
    return false;
  }
  // A version-1 header is the version-2 one cut short; the rest stays 0.
  std::array<unsigned char, sizeof(cups_page_header2_t)> raw{};
  const size_t length = shortHeader_ ? sizeof(cups_page_header_t) : sizeof(cups_page_header2_t);
  if (!take(std::span(raw).first(length)) || !acceptHeader(raw)) return fail();
  std::memcpy(&header, raw.data(), sizeof header);
  return true;
}

// libcups' checks of a header, and the page it makes of one it takes.
bool PwgReader::acceptHeader(std::span<unsigned char> raw) {
  if (swapped_) {
    for (size_t at = kFirstNumber; at < kNumbersEnd; at += sizeof(uint32_t)) {
      std::reverse(raw.begin() + static_cast<ptrdiff_t>(at), raw.begin() + static_cast<ptrdiff_t>(at + 4));
    }
  }
  const uint32_t space = number(raw, kColorSpace), bitsPerPixel = number(raw, kBitsPerPixel);
  uint32_t colors = number(raw, kNumColors);
  if (shortHeader_ || colors == 0) {
    colors = colorsOf(space, bitsPerPixel);
    if (colors == 0) return false;
    setNumber(raw, kNumColors, colors);
  }
  const uint32_t bitsPerColor = number(raw, kBitsPerColor), bytesPerLine = number(raw, kBytesPerLine);
  const uint32_t height = number(raw, kHeight), order = number(raw, kColorOrder);
  if (bitsPerPixel == 0 || bitsPerPixel > 240 || bitsPerColor == 0 || bitsPerColor > 16 || bytesPerLine == 0 ||
      bytesPerLine > 0x7fffffff || height == 0) {
    return false;
  }
  // Runs repeat a pixel of chunked rows, a sample of banded or planar ones.
  const uint32_t unit = ((order == CUPS_ORDER_CHUNKED ? bitsPerPixel : bitsPerColor) + 7) / 8;
  if (bytesPerLine % unit != 0) return false;

  bytesPerLine_ = bytesPerLine;
  bytesPerPixel_ = unit;
  // A planar page has a row per color, which libcups counts in 32 bits: a
  // count that wraps ends the page where libcups ends it.
  rowsLeft_ = order == CUPS_ORDER_PLANAR ? static_cast<uint32_t>(uint64_t{height} * colors) : height;
  blank_ = blankOf(space);
  swapRows_ = swapped_ && (bitsPerColor == 16 || bitsPerPixel == 12 || bitsPerPixel == 16);
  repeats_ = 0;
  return true;
}

bool PwgReader::readRow(std::span<unsigned char> out) {
  if (state_ != State::pages || rowsLeft_ == 0) return false;
  if (out.size() > bytesPerLine_) return fail();
  --rowsLeft_;
  if (repeats_ > 0) {
    if (out.size() > repeated_.size()) return fail();
    --repeats_;
    std::copy_n(repeated_.begin(), out.size(), out.begin());
    return true;
  }
  uint32_t copies = 1;
  if (compressed_) {
    unsigned char count;
    if (!readByte(count)) return fail();
    copies = count + 1u;
  }
  // 16-bit samples are turned a pair of bytes at a time from the row's
  // start, so an odd part kept needs the byte after it.
  size_t kept = out.size();
  if (swapRows_ && kept % 2 != 0 && kept < bytesPerLine_) ++kept;
  std::span<unsigned char> row = out;
  if (copies > 1 || kept != out.size()) {
    repeated_.resize(kept);
    row = repeated_;
  }
  if (compressed_ ? !decodeRow(row) : !take(row) || !skip(bytesPerLine_ - kept)) {
    // After a compressed row cut short libcups hands out what it had of it
    // as the next row, as it took the row's count first; here reading stops.
    return fail();
  }
  if (swapRows_) {
    for (size_t i = 0; i + 1 < row.size(); i += 2) std::swap(row[i], row[i + 1]);
  }
  if (row.data() != out.data()) std::copy_n(row.begin(), out.size(), out.begin());
  repeats_ = copies - 1;
  return true;
}

// One row of libcups' PackBits: a code below 128 repeats the next pixel 1 to
// 128 times, one above it is followed by 2 to 128 pixels as they are, and
// 128 clears the rest of the row. A code reaching past the row's end counts
// only to it, and the pixels it claims beyond are not read, as libcups reads
// them. The part of the row past `kept` is read and not written.
bool PwgReader::decodeRow(std::span<unsigned char> kept) {
  const uint64_t line = bytesPerLine_;
  const uint32_t unit = bytesPerPixel_;
  std::array<unsigned char, kLargestPixel> pixel;
  uint64_t x = 0;
  while (x < line) {
    unsigned char code;
    if (!readByte(code)) return false;
    const size_t from = static_cast<size_t>(std::min<uint64_t>(x, kept.size()));
    if (code == 128) {
      if (from < kept.size()) std::memset(kept.data() + from, blank_, kept.size() - from);
      return true;
    }
    if (code > 128) {
      const uint64_t count = std::min<uint64_t>(uint64_t{257u - code} * unit, line - x);
      const size_t into = static_cast<size_t>(std::min<uint64_t>(count, kept.size() - from));
      if (!take(kept.subspan(from, into)) || !skip(count - into)) return false;
      x += count;
    } else {
      const uint64_t count = std::min<uint64_t>(uint64_t{code + 1u} * unit, line - x);
      const std::span<unsigned char> value = std::span(pixel).first(unit);
      if (unit == 1 ? !readByte(pixel[0]) : !take(value)) return false;
      repeatPixel(kept.subspan(from, static_cast<size_t>(std::min<uint64_t>(count, kept.size() - from))), value);
      x += count;
    }
  }
  return true;
}
