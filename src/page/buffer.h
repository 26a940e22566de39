// Zero-filled byte buffers for one page, freed on every path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

struct ZeroedBuffer {
  std::unique_ptr<uint8_t[], FreeDeleter> memory;
  size_t size = 0;

  std::span<uint8_t> bytes() const { return {memory.get(), size}; }
  explicit operator bool() const { return memory != nullptr; }
};

// A page image is written in full right after it is allocated: mapping a
// large buffer's memory in one call costs less than a fault for every 4 KiB.
// Only a hint; without it the pages come one fault at a time.
inline void mapAtOnce(std::span<uint8_t> bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kFrom = 256 * 1024;
  if (bytes.size() < kFrom) return;
  const auto pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<uintptr_t>(bytes.data());
  const uintptr_t first = (start + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t last = (start + bytes.size()) & ~(pageSize - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)bytes;
#endif
}

// Allocates `size` zero bytes; an empty buffer (test with `!`) when the
// memory is not there. calloc leaves errno set for the caller's perror.
inline ZeroedBuffer allocateZeroed(uint64_t size) {
  ZeroedBuffer buffer;
  if (size >= std::numeric_limits<size_t>::max()) return buffer;
  // One spare byte: calloc(0) may give no pointer at all.
  buffer.memory.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size) + 1, 1)));
  if (buffer.memory == nullptr) return buffer;
  buffer.size = static_cast<size_t>(size);
  mapAtOnce(buffer.bytes());
  return buffer;
}

// What a failed allocation reports through perror (the system's reason
// follows on the next line).
inline constexpr const char* kMemoryError = "TAMRISK Label Driver DEBUG MSG : Memory Allocation Error\n";

// A page buffer of `size` bytes that could not be had: the trace's perror
// line, and an "ERROR: " line that the scheduler shows.
inline void reportMemoryError(uint64_t size) {
  std::perror(kMemoryError);
  std::fprintf(stderr,
               "ERROR: Out of memory: a buffer of %llu bytes for the page could not be had; the page was not "
               "printed.\n",
               static_cast<unsigned long long>(size));
}
