#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/output.h"
#include "driver/job.h"

// The whole file goes through byte for byte: command files may be large and
// the printer's own image commands carry zero bytes.
int printText(int fd, std::span<const unsigned char> head) {
  if (writeOutput(head.data(), head.size()) != 0) return 0;  // the caller reports the write error
  std::vector<unsigned char> chunk(64 * 1024);
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ERROR: Unable to read the print file: %s\n", std::strerror(errno));
      return 1;
    }
    if (writeOutput(chunk.data(), static_cast<size_t>(got)) != 0) return 0;
  }
  writeOutput("\r\n", 2);
  return 0;
}
