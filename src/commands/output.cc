#include "commands/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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

void widenOutputPipes() {
  const int savedErrno = errno;  // the usage report shows the errno the filter started with
  for (const int fd : std::array{STDOUT_FILENO, STDERR_FILENO}) {
    struct stat status {};
    // Only a hint: without room for it (a per-user pipe limit) the pipe
    // stays as it is.
    if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  }
  errno = savedErrno;
}

void flushTrace() { std::fflush(stderr); }
