#include "driver/job.h"

#include <fcntl.h>
#include <unistd.h>

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

// The job's input, and the first bytes of a print file that were read to see
// whether it holds raster data.
struct JobInput {
  int fd = 0;
  std::array<unsigned char, 4> head{};
  size_t headLength = 0;  // bytes of `head` still to be delivered
  size_t headOffset = 0;
  // What libcups has asked of the input: a failed page header read is told
  // apart from a clean end of the stream by these (see headerReadFailedOnData).
  uint64_t reads = 0;
  uint64_t delivered = 0;
  size_t lastRequest = 0;
  int readError = 0;
  std::array<unsigned char, 4> syncWord{};  // the first bytes delivered
};

bool isRasterSyncWord(const JobInput& input) {
  static constexpr std::array<const char*, 6> kSyncWords{"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"};
  if (input.headLength != 4) return false;
  for (const char* word : kSyncWords) {
    if (std::memcmp(input.head.data(), word, 4) == 0) return true;
  }
  return false;
}

// Reads the first bytes of the print file, then rewinds it where it can.
void peekHead(JobInput& input) {
  while (input.headLength < input.head.size()) {
    const ssize_t got = read(input.fd, input.head.data() + input.headLength, input.head.size() - input.headLength);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    input.headLength += static_cast<size_t>(got);
  }
}

void rewindOrKeepHead(JobInput& input) {
  if (input.headLength > 0 && lseek(input.fd, 0, SEEK_SET) == 0) input.headLength = 0;
}

// Raster reader: the bytes of a print file that were read and could not be
// given back come first, then the descriptor. Counts what it is asked for and
// what it delivers.
ssize_t readInput(void* context, unsigned char* buffer, size_t length) {
  auto& input = *static_cast<JobInput*>(context);
  ++input.reads;
  input.lastRequest = length;
  ssize_t got = 0;
  if (input.headOffset < input.headLength) {
    const size_t count = std::min(length, input.headLength - input.headOffset);
    std::memcpy(buffer, input.head.data() + input.headOffset, count);
    input.headOffset += count;
    got = static_cast<ssize_t>(count);
  } else {
    do {
      got = read(input.fd, buffer, length);
    } while (got < 0 && errno == EINTR);
  }
  if (got < 0) input.readError = errno;
  if (got > 0) {
    for (size_t i = 0; i < static_cast<size_t>(got) && input.delivered + i < input.syncWord.size(); ++i) {
      input.syncWord[input.delivered + i] = buffer[i];
    }
    input.delivered += static_cast<uint64_t>(got);
  }
  return got;
}

cups_raster_t* openRaster(JobInput& input) { return cupsRasterOpenIO(readInput, &input, CUPS_RASTER_READ); }

struct ReadMark {
  uint64_t reads;
  uint64_t delivered;
};

ReadMark markReads(const JobInput& input) { return {input.reads, input.delivered}; }

// libcups answers a damaged page header and the end of the stream alike, so
// after a failed header read the input tells which it was. At a clean end
// nothing is left: libcups asks the input for a whole header and gets no
// byte. Bytes that arrived for the header, or a header read that needed no
// read or asked for less than a header, mean data was there that is no page.
// The last two show what libcups holds in its read-ahead buffer of a
// compressed stream; it fetches the last 15 bytes of a header into that
// buffer with a larger read, so a compressed stream cut there cannot be told
// from its end. A larger read is never taken for damage: that would fail
// every job should libcups read ahead more.
bool headerReadFailedOnData(const JobInput& input, const ReadMark& before) {
  const bool versionOne =
      std::memcmp(input.syncWord.data(), "RaSt", 4) == 0 || std::memcmp(input.syncWord.data(), "tSaR", 4) == 0;
  const size_t headerBytes = versionOne ? sizeof(cups_page_header_t) : sizeof(cups_page_header2_t);
  if (input.delivered != before.delivered || input.reads == before.reads) return true;
  return input.reads == before.reads + 1 && input.lastRequest < headerBytes;
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
    const ReadMark beforeHeader = markReads(input);
    if (readPageHeader(ras, &header) == 0) {
      if (input.readError != 0) {
        std::fprintf(stderr, "ERROR: Unable to read the raster data: %s\n", std::strerror(input.readError));
        result.failed = true;
      } else if (headerReadFailedOnData(input, beforeHeader)) {
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
  // An image band goes to the printer in one write at its flush rather than
  // in pieces of the stream's default 4 KiB.
  static char printerBuffer[64 * 1024];
  std::setvbuf(stdout, printerBuffer, _IOFBF, sizeof printerBuffer);

  std::fputs("#### TAMRISK_CUPS_DRIVER_V1.0.1\n", stderr);
  if (argc != 6 && argc != 7) {
    std::perror("TAMRISK Label Driver DEBUG MSG : rastertoTmkLabel_v1.0.1job-id user title copies options [file]\n");
    return 1;
  }
  occupyMissingDescriptors();

  JobInput input;
  bool rasterFile = false;
  if (argc == 7) {
    input.fd = open(argv[6], O_RDONLY);
    if (input.fd < 0) {
      std::perror("TAMRISK Label Driver DEBUG MSG : Unable to open raster file - ");
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
      const int status = printText(input.fd, std::span(input.head.data(), input.headLength));
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
