// A PPD and a job options string through the settings, the label size and
// the job-setup block. The input's first line is the options string, the
// rest the PPD, which is read from a file as the filter reads it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/job_setup.h"
#include "driver/job.h"
#include "fuzz/sink.h"
#include "settings/settings.h"

namespace {

int ppdFile = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sendFilterOutputNowhere();
  const char* folder = std::getenv("TMPDIR");
  static std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/fuzz-ppd-XXXXXX";
  ppdFile = mkstemp(path.data());
  if (ppdFile < 0) __builtin_trap();
  unlink(path.c_str());  // reached through /proc: nothing is left behind
  static const std::string procPath = "/proc/self/fd/" + std::to_string(ppdFile);
  setenv("PPD", procPath.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  const auto* lineEnd = static_cast<const char*>(std::memchr(text, '\n', size));
  const size_t optionsLength = lineEnd != nullptr ? static_cast<size_t>(lineEnd - text) : size;
  const std::string options(text, optionsLength);
  const size_t ppdStart = lineEnd != nullptr ? optionsLength + 1 : size;
  if (ftruncate(ppdFile, 0) != 0 ||
      pwrite(ppdFile, data + ppdStart, size - ppdStart, 0) != static_cast<ssize_t>(size - ppdStart)) {
    __builtin_trap();
  }

  settings_t settings{};
  if (initializeSettings(options.c_str(), &settings) != 0) return 0;
  if (jobSetup(settings.modelNumber) != 0) return 0;
  fillLabelSize(settings);
  primaryProcess(settings);
  return 0;
}
