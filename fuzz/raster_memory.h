// A raster stream that libcups reads from bytes in memory, closed with it.
#pragma once

#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

class MemoryRaster {
 public:
  MemoryRaster(const uint8_t* data, size_t size)
      : data_(data), size_(size), raster_(cupsRasterOpenIO(read, this, CUPS_RASTER_READ)) {}
  ~MemoryRaster() {
    if (raster_ != nullptr) cupsRasterClose(raster_);
  }
  MemoryRaster(const MemoryRaster&) = delete;
  MemoryRaster& operator=(const MemoryRaster&) = delete;

  // Null when the bytes start with no raster sync word.
  cups_raster_t* get() const { return raster_; }

 private:
  static ssize_t read(void* context, unsigned char* buffer, size_t length) {
    auto& self = *static_cast<MemoryRaster*>(context);
    const size_t count = std::min(length, self.size_);
    if (count == 0) return 0;  // and the bytes may be no pointer at all
    std::memcpy(buffer, self.data_, count);
    self.data_ += count;
    self.size_ -= count;
    return static_cast<ssize_t>(count);
  }

  const uint8_t* data_;
  size_t size_;
  cups_raster_t* raster_;  // last: it reads the sync word as it opens
};
