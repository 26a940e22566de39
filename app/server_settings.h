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
  std::string spoolDirectory;  // where PAPPL keeps the jobs' documents
};
extern AppPaths gPaths;

// What one job, one user and the clients may take of the host (the server
// options max-document-size, max-active-jobs, max-jobs-per-user,
// max-spool-size, job-kill-delay and max-clients).
struct AppLimits {
  uint64_t documentBytes = uint64_t{256} << 20;  // of a document in the spool
  int activeJobs = 100;                          // a printer holds, printing or waiting
  int jobsPerOwner = 50;                         // of one user or other host on a printer
  uint64_t spoolBytes = uint64_t{1} << 30;       // of all documents in the spool
  std::chrono::seconds killDelay{30};            // a canceled job's processes get to end
  int clients = 100;                             // connected at once, each with a thread
};
extern AppLimits gLimits;

// An image is decoded whole: at most this many pixels a side, one byte each
// (8192 dots are 13.6 in at 600 dpi), and at most kMaxImageBytes held for
// it in all: a JPEG of several scans (progressive) is held as coefficients
// too, 128 bytes a block of each component, besides its pixels.
inline constexpr int kMaxImagePixels = 8192;
inline constexpr size_t kMaxImageBytes = size_t{kMaxImagePixels} * kMaxImagePixels;
// Every scan of a JPEG costs a pass over the blocks it covers, however few
// its bytes; encoders write a few dozen at most. TurboJPEG 2.1's limit.
inline constexpr int kMaxJpegScans = 500;

// The printer's own format: label command files, sent through the filter.
inline constexpr const char* kLabelFormat = "application/vnd.tamrisk-label";
