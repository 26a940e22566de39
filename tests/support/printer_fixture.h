// What whole-process tests share: a printer PPD on disk and the fixed lines.
#pragma once

#include <unistd.h>

#include <string>

#include "support/filter_process.h"
#include "support/ppd_builder.h"
#include "support/raster_writer.h"
#include "support/temp_dir.h"

inline const std::string kTrace = "TAMRISK Label Driver DEBUG MSG : ";
// The version of the package, as the top CMakeLists.txt has it.
inline const std::string kBanner = "#### TAMRISK_CUPS_DRIVER_V" TMK_VERSION "\n";
inline const std::string kReady = kTrace + "INFO: Ready to print.\n";
inline const std::string kNoPages = kTrace + "ERROR: No pages found!\n";

struct PrinterFixture {
  TempDir dir;
  std::string ppd;
  explicit PrinterFixture(const TestPpd& description = fullTestPpd())
      : ppd(dir.write("printer.ppd", makePpd(description))) {}

  FilterRun run(const std::string& options = "", const std::string& input = "") const {
    FilterRun r;
    r.args = filterArgs(options);
    r.ppd = ppd;
    r.input = input;
    return r;
  }
  FilterRun runFile(const std::string& file, const std::string& options = "") const {
    FilterRun r;
    r.args = filterArgs(options, file);
    r.ppd = ppd;
    return r;
  }
};

inline bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
