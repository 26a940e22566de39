// The run-length coder and a decoder: every band must decode back to itself
// from a payload of at most twice its length, written within that payload.
// The first input byte gives the bytes per line, the rest the band's rows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "fuzz/sink.h"
#include "page/rle.h"

namespace {

// Expands the payload into `band`; false when it is malformed or does not
// fill the band exactly.
bool decodesTo(std::span<const uint8_t> payload, std::span<const uint8_t> band) {
  size_t at = 0;
  for (size_t i = 0; i < payload.size(); ++i) {
    const uint8_t value = payload[i];
    size_t count = 1;
    if (value == 0x00 || value == 0xFF) {
      if (++i == payload.size() || payload[i] == 0) return false;
      count = payload[i];
    }
    if (count > band.size() - at) return false;
    for (size_t k = 0; k < count; ++k) {
      if (band[at + k] != value) return false;
    }
    at += count;
  }
  return at == band.size();
}

}  // namespace

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
  if (coded > 2 * length || !decodesTo({payload.get(), coded}, in)) __builtin_trap();
  // Buffers too small for the band code nothing.
  if (length > 0) {
    if (RLECompression(in.first(length - 1), {payload.get(), 2 * length}, rows, bytesPerLine) != 0 ||
        RLECompression(in, {payload.get(), 2 * length - 1}, rows, bytesPerLine) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
