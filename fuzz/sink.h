// What the fuzz targets share: the filter's output streams sent nowhere.
#pragma once

#include <cstdio>

// The code under test writes the printer stream to stdout and a trace of
// every step to stderr. glibc lets a program point these at other files;
// libFuzzer keeps its own handle on the original stderr (taken when it
// started) and the sanitizers write their reports to descriptor 2, so both
// still show.
inline void sendFilterOutputNowhere() {
  static char outBuffer[1 << 16], errBuffer[1 << 16];
  stdout = std::fopen("/dev/null", "w");
  stderr = std::fopen("/dev/null", "w");
  if (stdout == nullptr || stderr == nullptr) __builtin_trap();
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
}
