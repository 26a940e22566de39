#include "driver/job.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands/job_setup.h"
#include "commands/output.h"
#include "commands/page_size.h"
#include "page/print_page.h"
#include "settings/settings.h"
#include "status/status.h"

volatile std::sig_atomic_t Canceled = 0;

void CancelJob(int) { Canceled = 1; }

namespace {

constexpr const char* kTrace = "TAMRISK Label Driver DEBUG MSG : ";

// Descriptors 3 and 4 are the scheduler's back and side channels, 0 to 2 the
// standard streams. When the filter is started without some of them, park
// /dev/null there so that no file we open lands on one by accident. Standard
// output gets a read-only handle: writes to it fail and the job reports the
// loss instead of printing into nowhere.
void occupyMissingDescriptors() {
  const int savedErrno = errno;
  constexpr std::array<int, 5> modes{O_RDONLY, O_RDONLY, O_WRONLY, O_RDONLY, O_RDWR};
  for (int fd = 0; fd < static_cast<int>(modes.size()); ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", modes[static_cast<size_t>(fd)]);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  errno = savedErrno;
}

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = CancelJob;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // stays installed, like signal()
  sigaction(SIGTERM, &action, nullptr);
  // A printer connection that goes away must show up as a write error that
  // the job reports, not kill the filter silently.
  std::signal(SIGPIPE, SIG_IGN);
}

// The job's input as libcups reads it. libcups may read ahead into a buffer
// of its own (it does for compressed streams), so after a failed page header
// read the bytes it was given do not tell whether a header had begun. So the
// last byte read from the descriptor is held back and handed on alone: as
// libcups asks only for bytes it needs, all it got in bulk lies before a
// byte it will use, and at a clean end it holds nothing unused. This needs
// no knowledge of a format's header size or of libcups' read-ahead. Held
// bytes, and the first bytes of a print file that could not be rewound, wait
// in `ahead`.
struct JobInput {
  int fd = 0;
  std::array<unsigned char, 4> ahead{};
  size_t aheadStart = 0;
  size_t aheadEnd = 0;
  uint64_t delivered = 0;
  bool ended = false;  // a read found the end of the input
  int readError = 0;
};

// Every stream libcups reads, in either byte order: versions 1, 2 and 3 and
// Apple raster ("UNIRAST").
bool isRasterSyncWord(const JobInput& input) {
  static constexpr std::array<const char*, 8> kSyncWords{"RaSt", "tSaR", "RaS2", "2SaR",
                                                         "RaS3", "3SaR", "UNIR", "RINU"};
  if (input.aheadEnd != 4) return false;
  for (const char* word : kSyncWords) {
    if (std::memcmp(input.ahead.data(), word, 4) == 0) return true;
  }
  return false;
}

// One read from the descriptor; a non-blocking one that has nothing yet is
// waited for.
ssize_t readSome(JobInput& input, unsigned char* buffer, size_t length) {
  for (;;) {
    const ssize_t got = read(input.fd, buffer, length);
    if (got == 0) input.ended = true;
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{input.fd, POLLIN, 0};
      poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      input.readError = errno;
      return got;
    }
  }
}

// Reads the first bytes of the print file, then rewinds it where it can.
void peekHead(JobInput& input) {
  while (input.aheadEnd < input.ahead.size()) {
    const ssize_t got = readSome(input, input.ahead.data() + input.aheadEnd, input.ahead.size() - input.aheadEnd);
    if (got <= 0) break;
    input.aheadEnd += static_cast<size_t>(got);
  }
  input.ended = false;  // the pass-through or the raster reader reads it again
  input.readError = 0;
}

void rewindOrKeepHead(JobInput& input) {
  if (input.aheadEnd > 0 && lseek(input.fd, 0, SEEK_SET) == 0) input.aheadEnd = 0;
}

std::span<const unsigned char> aheadBytes(const JobInput& input) {
  return std::span(input.ahead.data() + input.aheadStart, input.aheadEnd - input.aheadStart);
}

// libcups' read callback (see JobInput).
ssize_t readInput(void* context, unsigned char* buffer, size_t length) {
  auto& input = *static_cast<JobInput*>(context);
  if (length == 0) return 0;
  ssize_t got = 0;
  const size_t held = input.aheadEnd - input.aheadStart;
  if (held > 0) {
    const size_t count = held == 1 ? 1 : std::min(length, held - 1);
    std::memcpy(buffer, input.ahead.data() + input.aheadStart, count);
    input.aheadStart += count;
    got = static_cast<ssize_t>(count);
  } else {
    got = readSome(input, buffer, length);
    if (got >= 2) {
      --got;
      input.ahead[0] = buffer[got];
      input.aheadStart = 0;
      input.aheadEnd = 1;
    }
  }
  if (got > 0) input.delivered += static_cast<uint64_t>(got);
  return got;
}

cups_raster_t* openRaster(JobInput& input) { return cupsRasterOpenIO(readInput, &input, CUPS_RASTER_READ); }

// libcups answers a damaged page header and the end of the stream alike.
// As it holds no byte it has not used (see JobInput), the stream ended
// cleanly only when the header read found the end of the input, got no byte
// and left none behind.
bool headerReadFailedOnData(const JobInput& input, uint64_t deliveredBefore) {
  return input.delivered != deliveredBefore || !input.ended || input.aheadStart != input.aheadEnd;
}

void reportDamagedHeader(int32_t pagesRead) {
  if (pagesRead == 0) {
    std::fputs("ERROR: The raster data is damaged: its first page header cannot be read; nothing was printed.\n",
               stderr);
  } else {
    std::fprintf(stderr,
                 "ERROR: The raster data is damaged or cut off after page %d: what follows it is no page and was not "
                 "printed.\n",
                 pagesRead);
  }
}

void reportOutputError() {
  std::fprintf(stderr, "ERROR: Unable to send the job to the printer: %s\n", std::strerror(outputErrorNumber()));
}

struct PageLoopResult {
  int32_t pages = 0;
  bool failed = false;
};

PageLoopResult runPageLoop(JobInput& input, const settings_t& settings) {
  PageLoopResult result;
  cups_raster_t* ras = openRaster(input);
  if (ras == nullptr) {
    std::fputs("ERROR: The job holds no CUPS raster data; nothing was printed.\n", stderr);
    result.failed = true;
    return result;
  }
  cups_page_header_t header{};
  for (;;) {
    const uint64_t deliveredBefore = input.delivered;
    if (readPageHeader(ras, &header) == 0) {
      if (input.readError != 0) {
        std::fprintf(stderr, "ERROR: Unable to read the raster data: %s\n", std::strerror(input.readError));
        result.failed = true;
      } else if (headerReadFailedOnData(input, deliveredBefore)) {
        reportDamagedHeader(result.pages);
        result.failed = true;
      }
      break;
    }
    if (Canceled != 0) break;
    ++result.pages;
    const int status = printPage(ras, &header, &settings, &result.pages, settings.numOfCopies);
    flushTrace();
    if (status == 1) {
      result.failed = true;
      break;
    }
    if (Canceled != 0 || outputFailed()) break;
  }
  cupsRasterClose(ras);
  return result;
}

}  // namespace

// A custom size counts only when one is given (-1.0 means the PPD has none);
// only the quarter turns swap the sides.
void fillLabelSize(settings_t& settings) {
  const auto given = [](float points) { return points != 0.0f && points != -1.0f; };
  const bool custom = given(settings.customWidth) || given(settings.customHeight);
  const bool turned = settings.rotation == 1 || settings.rotation == 3;
  int32_t* lengthPlace = turned ? &settings.widthDot : &settings.lengthDot;
  int32_t* widthPlace = turned ? &settings.lengthDot : &settings.widthDot;
  if (custom) {
    convertCustomPageSize(&settings, lengthPlace, widthPlace);
  } else {
    convertPageSize(settings.pageSize, lengthPlace, widthPlace);
  }
}

int filterMain(int argc, char* argv[]) {
  // Trace lines are many; they reach the scheduler at the flush points
  // (status step, end of every page, end of job) instead of one write each.
  static char traceBuffer[64 * 1024];
  std::setvbuf(stderr, traceBuffer, _IOFBF, sizeof traceBuffer);

  std::fputs("#### TAMRISK_CUPS_DRIVER_V" TMK_VERSION "\n", stderr);
  if (argc != 6 && argc != 7) {
    std::perror("TAMRISK Label Driver DEBUG MSG : rastertoTmkLabel_v" TMK_VERSION "job-id user title copies options [file]\n");
    return 1;
  }
  occupyMissingDescriptors();

  JobInput input;
  bool rasterFile = false;
  if (argc == 7) {
    input.fd = open(argv[6], O_RDONLY);
    if (input.fd < 0) {
      const int openError = errno;
      std::perror("TAMRISK Label Driver DEBUG MSG : Unable to open raster file - ");
      std::fprintf(stderr, "ERROR: Unable to open the print file \"%s\": %s\n", argv[6], std::strerror(openError));
      flushTrace();
      sleep(1);
      return 1;
    }
    peekHead(input);
    rasterFile = isRasterSyncWord(input);
    rewindOrKeepHead(input);
  }
  installSignalHandlers();

  settings_t settings{};
  PageLoopResult pages;
  const bool settingsRead = initializeSettings(argv[5], &settings) != 1;
  if (!settingsRead) {
    std::fprintf(stderr, "%sThis printer is not supported.\n", kTrace);
    pages.failed = true;
  } else {
    // A cancel that came while the PPD was read holds: the page loop starts no page.
    if (jobSetup(settings.modelNumber) == 1) {
      std::fprintf(stderr, "%sjobSetup() fail.\n", kTrace);
      std::fprintf(stderr,
                   "ERROR: This printer model (%d) is not supported by rastertoTmkLabel; nothing was printed.\n",
                   settings.modelNumber);
      return 1;
    }
    if (settings.statusCheck == 1) {
      std::fputs("TAMRISK DEBUG MSG : Printer Status Check On.\n", stderr);
      getPrinterStatus(settings.modelNumber);
    } else {
      std::fputs("TAMRISK DEBUG MSG : Printer Status Check Off.\n", stderr);
      clearPrinterStatus(settings.modelNumber);
    }
    flushTrace();

    if (argc == 7 && !rasterFile) {
      const int status = printText(input.fd, aheadBytes(input));
      if (input.fd != 0) close(input.fd);
      if (outputFailed()) {
        reportOutputError();
        return 1;
      }
      return status;
    }

    fillLabelSize(settings);
    std::fprintf(stderr, "%slengthDot = %d, widthDot = %d\n", kTrace, settings.lengthDot, settings.widthDot);
    primaryProcess(settings);
    std::fprintf(stderr, "%sNot Tamrisk Msq API Mode!!!\n", kTrace);
    if (!outputFailed()) pages = runPageLoop(input, settings);
  }

  if (input.fd != 0) close(input.fd);
  if (pages.pages == 0) {
    std::fprintf(stderr, "%sERROR: No pages found!\n", kTrace);
  } else {
    std::fprintf(stderr, "%sINFO: Ready to print.\n", kTrace);
  }
  if (outputFailed()) {
    reportOutputError();
    return 1;
  }
  return pages.pages == 0 || pages.failed ? 1 : 0;
}
