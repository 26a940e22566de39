// The run-length coder against the stream reader's decoder: every band must
// decode back to itself from a payload of at most twice its length, written
// within that payload. The first input byte gives the bytes per line, the
// rest the band's rows.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "decode/printer_stream.h"
#include "fuzz/sink.h"
#include "page/rle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sendFilterOutputNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t bytesPerLine = data[0] + 1u;
  const auto rows = static_cast<uint32_t>((size - 1) / bytesPerLine);
  const size_t length = size_t{rows} * bytesPerLine;
  // Exact-size heap copies, so that a read or write past either end is
  // caught by AddressSanitizer.
  const auto band = std::make_unique<uint8_t[]>(length);
  if (length > 0) std::memcpy(band.get(), data + 1, length);
  const auto payload = std::make_unique<uint8_t[]>(2 * length);
  const std::span<const uint8_t> in(band.get(), length);
  const uint32_t coded = RLECompression(in, {payload.get(), 2 * length}, rows, bytesPerLine);
  if (coded > 2 * length) __builtin_trap();
  std::vector<uint8_t> decoded;
  const std::optional<size_t> used = decodeRuns({payload.get(), coded}, length, decoded);
  if (used != coded || !std::equal(decoded.begin(), decoded.end(), in.begin(), in.end())) __builtin_trap();
  // Buffers too small for the band code nothing.
  if (length > 0) {
    if (RLECompression(in.first(length - 1), {payload.get(), 2 * length}, rows, bytesPerLine) != 0 ||
        RLECompression(in, {payload.get(), 2 * length - 1}, rows, bytesPerLine) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
