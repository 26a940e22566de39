#include "page/rle.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr uint32_t kLongestRun = 255;  // the most that one count byte holds

// The run trace is most of the filter's standard error: one line per run,
// thousands per label. Its lines are composed in a local block and handed to
// the stream in large pieces instead of being formatted one by one.
class RunTrace {
 public:
  RunTrace() { std::fputs("TAMRISK Label Driver DEBUG MSG : start RLE Compression\n", stderr); }
  ~RunTrace() {
    flush();
    std::fputs("TAMRISK Label Driver DEBUG MSG : RLE Compression complete\n", stderr);
  }
  RunTrace(const RunTrace&) = delete;
  RunTrace& operator=(const RunTrace&) = delete;

  void add(uint8_t value, uint32_t count) {
    static constexpr std::string_view kZeros =
        "TAMRISK Label Driver DEBUG MSG : compData = 0x00, compDataLength = ";
    static constexpr std::string_view kOnes = "TAMRISK Label Driver DEBUG MSG : compData = 0xff, compDataLength = ";
    const std::string_view text = value == 0 ? kZeros : kOnes;
    if (used_ + text.size() + 4 > block_.size()) flush();
    std::memcpy(block_.data() + used_, text.data(), text.size());
    used_ += text.size();
    if (count >= 100) block_[used_++] = static_cast<char>('0' + count / 100);
    if (count >= 10) block_[used_++] = static_cast<char>('0' + count / 10 % 10);
    block_[used_++] = static_cast<char>('0' + count % 10);
    block_[used_++] = '\n';
  }

 private:
  void flush() {
    std::fwrite(block_.data(), 1, used_, stderr);
    used_ = 0;
  }
  std::array<char, 16384> block_;
  size_t used_ = 0;
};

}  // namespace

uint32_t RLECompression(std::span<const uint8_t> band, std::span<uint8_t> payload, uint32_t rows,
                        uint32_t bytesPerLine) {
  RunTrace trace;
  const uint64_t length = uint64_t{rows} * bytesPerLine;
  // The worst case is one two-byte run per input byte; an output of 4 GiB or
  // more could not be told by the result.
  if (length > band.size() || 2 * length > payload.size() || 2 * length > UINT32_MAX) return 0;
  const uint8_t* in = band.data();
  const uint8_t* const end = in + length;
  uint8_t* out = payload.data();
  while (in < end) {
    const uint8_t value = *in++;
    if (value != 0x00 && value != 0xFF) {
      *out++ = value;
      continue;
    }
    const uint8_t* const runEnd = in + std::min<ptrdiff_t>(end - in, kLongestRun - 1);
    const uint8_t* const start = in - 1;
    while (in < runEnd && *in == value) ++in;
    const auto count = static_cast<uint32_t>(in - start);
    trace.add(value, count);
    *out++ = value;
    *out++ = static_cast<uint8_t>(count);
  }
  return static_cast<uint32_t>(out - payload.data());
}
