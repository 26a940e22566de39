#include "page/rle.h"

#include <cstdio>

namespace {

constexpr const char* kTrace = "TAMRISK Label Driver DEBUG MSG : ";
constexpr uint32_t kLongestRun = 255;  // the most that one count byte holds

}  // namespace

uint32_t RLECompression(std::span<const uint8_t> band, std::span<uint8_t> payload, uint32_t rows,
                        uint32_t bytesPerLine) {
  std::fprintf(stderr, "%sstart RLE Compression\n", kTrace);
  const uint64_t length = uint64_t{rows} * bytesPerLine;
  // The worst case is one two-byte run per input byte; an output of 4 GiB or
  // more could not be told by the result.
  if (length > band.size() || 2 * length > payload.size() || 2 * length > UINT32_MAX) {
    std::fprintf(stderr, "%sRLE Compression complete\n", kTrace);
    return 0;
  }
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    const uint8_t value = band[in++];
    if (value != 0x00 && value != 0xFF) {
      payload[out++] = value;
      continue;
    }
    uint32_t count = 1;
    while (in < length && band[in] == value && count < kLongestRun) {
      ++count;
      ++in;
    }
    std::fprintf(stderr, "%scompData = 0x%02x, compDataLength = %d\n", kTrace, static_cast<unsigned>(value),
                 static_cast<int>(count));
    payload[out++] = value;
    payload[out++] = static_cast<uint8_t>(count);
  }
  std::fprintf(stderr, "%sRLE Compression complete\n", kTrace);
  return static_cast<uint32_t>(out);
}
