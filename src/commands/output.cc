#include "commands/output.h"

#include <cerrno>
#include <cstdio>

namespace {

int firstErrorNumber = 0;

void remember(int errorNumber) {
  if (firstErrorNumber == 0) firstErrorNumber = errorNumber != 0 ? errorNumber : EIO;
}

}  // namespace

int writeOutput(const void* data, size_t size) {
  errno = 0;
  if (std::fwrite(data, 1, size, stdout) != size) {
    remember(errno);
    return 1;
  }
  return 0;
}

int flushOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    remember(errno);
    return 1;
  }
  return firstErrorNumber != 0 ? 1 : 0;
}

bool outputFailed() { return flushOutput() != 0; }

int outputErrorNumber() { return firstErrorNumber != 0 ? firstErrorNumber : EIO; }

void flushTrace() { std::fflush(stderr); }
