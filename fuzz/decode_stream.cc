// tmk-decode on any stream: captures from untrusted jobs may hold anything.
// Besides what the sanitizers catch, a stream read without a problem must
// make pages whose images are exactly their bands put together.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "decode/listing.h"
#include "decode/printer_stream.h"
#include "fuzz/sink.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sendFilterOutputNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  const int status = listStream(stream, nullptr);
  const DecodedStream decoded = decodeStream(stream);
  if ((status == 0) != decoded.problems.empty()) __builtin_trap();
  if (status != 0) return 0;
  for (const PrintedPage& page : decoded.pages) {
    const Image& image = page.image;
    if (image.width != 8 * image.bytesPerLine || image.height != page.rows) __builtin_trap();
    if (image.pixels.size() != uint64_t{image.bytesPerLine} * page.rows) __builtin_trap();
    uint64_t row = 0;
    size_t at = 0;
    for (const StreamItem& band : page.bands) {
      if (band.startRow != (row & 0xFFFF) || band.pixels.size() != size_t{band.rows} * image.bytesPerLine ||
          !std::equal(band.pixels.begin(), band.pixels.end(), image.pixels.begin() + static_cast<std::ptrdiff_t>(at))) {
        __builtin_trap();
      }
      row += band.rows;
      at += band.pixels.size();
    }
    if (row != page.rows || page.after.empty() || !page.after.back().starts_with("P1")) __builtin_trap();
  }
  return 0;
}
