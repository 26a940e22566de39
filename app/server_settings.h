// What the server is told at start and every part reads: where the programs
// it runs are, and what one job may take of the host. Set once from the
// server options before the first printer is made.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Where the filter, the PPDs and the prefilters that render PDF are.
struct AppPaths {
  std::string filter = TMK_APP_FILTER;
  std::string ppdDirectory = TMK_APP_PPD_DIR;
  std::string prefilterDirectory = TMK_APP_PREFILTER_DIR;
};
extern AppPaths gPaths;

// What one job, and the clients, may take of the host (the server options
// max-document-size, max-active-jobs, job-kill-delay and max-clients).
struct AppLimits {
  uint64_t documentBytes = uint64_t{256} << 20;  // of a document in the spool
  int activeJobs = 100;                          // a printer holds, printing or waiting
  std::chrono::seconds killDelay{30};            // a canceled job's processes get to end
  int clients = 100;                             // connected at once, each with a thread
};
extern AppLimits gLimits;

// An image is decoded whole: at most this many pixels a side, one byte each
// (8192 dots are 13.6 in at 600 dpi).
inline constexpr int kMaxImagePixels = 8192;
inline constexpr size_t kMaxImageBytes = size_t{kMaxImagePixels} * kMaxImagePixels;

// The printer's own format: label command files, sent through the filter.
inline constexpr const char* kLabelFormat = "application/vnd.tamrisk-label";
