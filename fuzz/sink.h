// What the fuzz targets share: the filter's output streams sent nowhere, or
// the printer stream kept to be checked.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// The code under test writes a trace of every step to stderr. glibc lets a
// program point it at another file; libFuzzer keeps its own handle on the
// original stderr (taken when it started) and the sanitizers write their
// reports to descriptor 2, so both still show.
inline void sendTraceNowhere() {
  static char errBuffer[1 << 16];
  stderr = std::fopen("/dev/null", "w");
  if (stderr == nullptr) __builtin_trap();
  std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
}

// The printer stream goes to descriptor 1, through stdio or not; libFuzzer
// writes nothing there.
inline void pointStandardOutputAt(int fd) {
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) __builtin_trap();
  close(fd);
}

inline void sendFilterOutputNowhere() {
  sendTraceNowhere();
  pointStandardOutputAt(open("/dev/null", O_WRONLY));
}

// Standard output into a file in memory, to be read back.
inline void keepPrinterStream() {
  sendTraceNowhere();
  pointStandardOutputAt(memfd_create("printer-stream", 0));
}

inline void clearPrinterStream() {
  if (std::fflush(stdout) != 0 || ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
    __builtin_trap();
  }
}

// Bytes kept since the last clearPrinterStream. Code that keeps an output
// buffer of its own must flush it first.
inline size_t keptLength() {
  if (std::fflush(stdout) != 0) __builtin_trap();
  const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  if (end < 0) __builtin_trap();
  return static_cast<size_t>(end);
}

// The kept bytes from byte `from` on.
inline std::string keptPrinterStream(size_t from) {
  const size_t end = keptLength();
  if (end < from) __builtin_trap();
  std::string bytes(end - from, '\0');
  if (pread(STDOUT_FILENO, bytes.data(), bytes.size(), static_cast<off_t>(from)) != static_cast<ssize_t>(bytes.size())) {
    __builtin_trap();
  }
  return bytes;
}
