// Zero-filled byte buffers for one page, freed on every path.
#pragma once

#include <cstdint>
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

// Allocates `size` zero bytes; an empty buffer (test with `!`) when the
// memory is not there. calloc leaves errno set for the caller's perror.
inline ZeroedBuffer allocateZeroed(uint64_t size) {
  ZeroedBuffer buffer;
  if (size >= std::numeric_limits<size_t>::max()) return buffer;
  // One spare byte: calloc(0) may give no pointer at all.
  buffer.memory.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size) + 1, 1)));
  if (buffer.memory != nullptr) buffer.size = static_cast<size_t>(size);
  return buffer;
}

// What a failed allocation reports through perror (the system's reason
// follows on the next line).
inline constexpr const char* kMemoryError = "TAMRISK Label Driver DEBUG MSG : Memory Allocation Error\n";
