// Shows what the filter sent to the printer. Reads a captured printer stream
// (the filter's standard output, or a printer's capture file), lists its
// commands one per line, the image commands with their fields, and writes
// each page's image as a PBM file when asked.
//   tmk-decode [-p PREFIX] [STREAM-FILE]      tmk-decode --help
// Without a file the stream comes from standard input. With -p, page N goes
// to PREFIX-N.pbm, 8 pixels per byte of each row as the printer gets them.
// Exit status 0 when the whole stream was read and every page was whole; 1
// after an "ERROR: " line for bytes that are no command of the label
// language, an image command cut short or a payload that does not decode,
// or bands that do not make up their page.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "decode/listing.h"

namespace {

bool readAll(FILE* file, std::string& into) {
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) into.append(buffer, got);
  return std::ferror(file) == 0;
}

}  // namespace

constexpr const char* kUsage = "usage: tmk-decode [-p PREFIX] [STREAM-FILE]\n";
constexpr const char* kHelp =
    "Lists the commands of a captured printer stream of rastertoTmkLabel (from\n"
    "STREAM-FILE or standard input), one per line.\n"
    "  -p PREFIX  also write page N's image, as the printer gets it, to PREFIX-N.pbm\n"
    "Exit status 0 when the stream is whole, 1 after an ERROR: line, 2 for wrong\n"
    "arguments. See tmk-decode(1).\n";

int main(int argc, char* argv[]) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const char* prefix = nullptr;
  int option;
  while ((option = getopt(argc, argv, "p:")) != -1) {
    if (option != 'p') {
      std::fputs(kUsage, stderr);
      return 2;
    }
    prefix = optarg;
  }
  if (argc - optind > 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  FILE* input = stdin;
  if (optind < argc) {
    input = std::fopen(argv[optind], "rb");
    if (input == nullptr) {
      std::fprintf(stderr, "ERROR: cannot open %s: %s\n", argv[optind], std::strerror(errno));
      return 1;
    }
  }
  std::string stream;
  if (!readAll(input, stream)) {
    std::fprintf(stderr, "ERROR: cannot read the stream: %s\n", std::strerror(errno));
    return 1;
  }
  const int status = listStream(stream, prefix);
  if (std::fflush(stdout) != 0) return 1;
  return status;
}
