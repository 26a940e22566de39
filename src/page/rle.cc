#include "page/rle.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr uint32_t kLongestRun = 255;  // the most that one count byte holds

// The run trace is most of the filter's standard error: one line per run,
// thousands per label. Its lines are composed in a local block and handed to
// the stream in large pieces instead of being formatted one by one.
struct CountText {
  std::array<char, 4> text;  // decimal digits and the line feed
  size_t length;
};

// "1\n" to "255\n", looked up rather than formatted for every run.
constexpr std::array<CountText, 256> kCountTexts = [] {
  std::array<CountText, 256> texts{};
  for (uint32_t count = 0; count < texts.size(); ++count) {
    CountText& t = texts[count];
    t.length = 0;
    if (count >= 100) t.text[t.length++] = static_cast<char>('0' + count / 100);
    if (count >= 10) t.text[t.length++] = static_cast<char>('0' + count / 10 % 10);
    t.text[t.length++] = static_cast<char>('0' + count % 10);
    t.text[t.length++] = '\n';
  }
  return texts;
}();

class RunTrace {
 public:
  explicit RunTrace(bool enabled) : enabled_(enabled) {
    std::fputs("TAMRISK Label Driver DEBUG MSG : start RLE Compression\n", stderr);
  }
  ~RunTrace() {
    flush();
    std::fputs("TAMRISK Label Driver DEBUG MSG : RLE Compression complete\n", stderr);
  }
  RunTrace(const RunTrace&) = delete;
  RunTrace& operator=(const RunTrace&) = delete;

  void add(uint8_t value, uint32_t count) {
    if (!enabled_) return;
    static constexpr std::string_view kZeros =
        "TAMRISK Label Driver DEBUG MSG : compData = 0x00, compDataLength = ";
    static constexpr std::string_view kOnes = "TAMRISK Label Driver DEBUG MSG : compData = 0xff, compDataLength = ";
    const std::string_view text = value == 0 ? kZeros : kOnes;
    if (used_ + text.size() + 4 > block_.size()) flush();
    std::memcpy(block_.data() + used_, text.data(), text.size());
    used_ += text.size();
    const CountText& digits = kCountTexts[count];
    std::memcpy(block_.data() + used_, digits.text.data(), digits.text.size());
    used_ += digits.length;
  }

 private:
  // The block goes straight to the descriptor, after whatever the stream
  // still holds, instead of being copied through the stream's buffer.
  void flush() {
    std::fflush(stderr);
    size_t done = 0;
    while (done < used_) {
      const ssize_t put = write(fileno(stderr), block_.data() + done, used_ - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;  // a trace that cannot be written is of no consequence to the job
      done += static_cast<size_t>(put);
    }
    used_ = 0;
  }
  bool enabled_;
  std::array<char, 64 * 1024> block_;
  size_t used_ = 0;
};

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t load64(const uint8_t* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Whether any byte of `word` is 0x00 or 0xFF: the bytes that start a run.
bool holdsRunByte(uint64_t word) {
  const auto hasZero = [](uint64_t w) { return ((w - kOnes) & ~w & kHighBits) != 0; };
  return hasZero(word) || hasZero(~word);
}

}  // namespace

uint32_t RLECompression(std::span<const uint8_t> band, std::span<uint8_t> payload, uint32_t rows,
                        uint32_t bytesPerLine, bool traceRuns) {
  RunTrace trace(traceRuns);
  const uint64_t length = uint64_t{rows} * bytesPerLine;
  // The worst case is one two-byte run per input byte; an output of 4 GiB or
  // more could not be told by the result.
  if (length > band.size() || 2 * length > payload.size() || 2 * length > UINT32_MAX) return 0;
  const uint8_t* in = band.data();
  const uint8_t* const end = in + length;
  uint8_t* out = payload.data();
  while (in < end) {
    // Eight literal bytes at a time while no run byte is among them.
    while (end - in >= 8 && !holdsRunByte(load64(in))) {
      std::memcpy(out, in, 8);
      in += 8;
      out += 8;
    }
    if (in == end) break;
    const uint8_t value = *in++;
    if (value != 0x00 && value != 0xFF) {
      *out++ = value;
      continue;
    }
    const uint8_t* const runEnd = in + std::min<ptrdiff_t>(end - in, kLongestRun - 1);
    const uint8_t* const start = in - 1;
    const uint64_t same = value == 0 ? 0 : ~uint64_t{0};
    while (runEnd - in >= 8 && load64(in) == same) in += 8;
    while (in < runEnd && *in == value) ++in;
    const auto count = static_cast<uint32_t>(in - start);
    trace.add(value, count);
    *out++ = value;
    *out++ = static_cast<uint8_t>(count);
  }
  return static_cast<uint32_t>(out - payload.data());
}
