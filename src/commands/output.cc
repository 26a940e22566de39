#include "commands/output.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

int firstErrorNumber = 0;

// The printer stream's buffer, so that a band leaves in one write at its
// flush. It is not stdio's: a stdio stream throws away what it holds when a
// write fails, and a non-blocking standard output fails with EAGAIN each
// time the pipe is full.
std::array<uint8_t, 64 * 1024> pending;
size_t pendingLength = 0;

void remember(int errorNumber) {
  if (firstErrorNumber == 0) firstErrorNumber = errorNumber != 0 ? errorNumber : EIO;
}

// Writes all of `size` bytes, waiting for a non-blocking standard output
// that is full. After the first failure nothing more is written: the
// printer would take what follows a gap for commands.
int writeAll(const uint8_t* data, size_t size) {
  while (size > 0 && firstErrorNumber == 0) {
    const ssize_t put = write(STDOUT_FILENO, data, size);
    if (put > 0) {
      data += put;
      size -= static_cast<size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      poll(&ready, 1, -1);
    } else if (put == 0 || errno != EINTR) {
      remember(put < 0 ? errno : EIO);
    }
  }
  return firstErrorNumber != 0 ? 1 : 0;
}

}  // namespace

int writeOutput(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size > pending.size() - pendingLength) {
    if (flushOutput() != 0) return 1;
    if (size >= pending.size()) return writeAll(bytes, size);
  }
  std::memcpy(pending.data() + pendingLength, bytes, size);
  pendingLength += size;
  return firstErrorNumber != 0 ? 1 : 0;
}

int flushOutput() {
  const int status = writeAll(pending.data(), pendingLength);
  pendingLength = 0;
  return status;
}

bool outputFailed() { return flushOutput() != 0; }

int outputErrorNumber() { return firstErrorNumber != 0 ? firstErrorNumber : EIO; }

void flushTrace() { std::fflush(stderr); }
