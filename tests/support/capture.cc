#include "support/capture.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "commands/output.h"

namespace {

std::string slurp(std::FILE* file) {
  std::string content;
  std::rewind(file);
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  return content;
}

}  // namespace

Captured capture(const std::function<void()>& body) {
  flushOutput();
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) throw std::runtime_error("tmpfile failed");
  const int savedOut = dup(1);
  const int savedErr = dup(2);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  body();
  flushOutput();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  std::clearerr(stdout);
  Captured result{slurp(out), slurp(err)};
  std::fclose(out);
  std::fclose(err);
  return result;
}
