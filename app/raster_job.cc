// Raster pages as PAPPL reads them from a client: each page chosen from the
// headers, cut to the label and packed to 1 bit as its rows come, and sent
// to the filter whole.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interpose.h"
#include "job_order.h"
#include "job_filter.h"
#include "job_options.h"
#include "jobs.h"
#include "page_packing.h"
#include "printer_data.h"
#include "pwg_reader.h"

namespace {

// What one raster job keeps between PAPPL's callbacks.
struct RasterJob {
  RasterJob(pappl_job_t* job, pappl_device_t* device, std::unique_ptr<CancelWatch> jobWatch)
      : watch(std::move(jobWatch)), filter(job, device, *watch) {}

  std::unique_ptr<CancelWatch> watch;  // outlives the filter it ends
  JobFilter filter;
  FilterRaster raster;
  bool failed = false;

  ~RasterJob() {
    raster.close();
    flush();
  }

  // Writes what is gathered to the filter; false when the filter is gone.
  bool flush() {
    const bool whole = writeAll(filter.input(), raster.pending());
    raster.pending().clear();
    return whole;
  }
};

// The filter's input pipe holds a few pages, so that the filter works on
// one while PAPPL reads the next (a wish: at most /proc/sys/fs/pipe-max-size).
constexpr int kFilterPipeSize = 1024 * 1024;

RasterJob* rasterJob(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

// Starts a page of `given` as PAPPL hands it over (choosePage()); its
// layout, or none when it is refused or cannot be sent.
std::optional<PageLayout> startPage(pappl_job_t* job, RasterJob& state, const pappl_pr_options_t& options,
                                    const cups_page_header2_t& given, const cups_page_header2_t* client) {
  const unsigned labelWidth = dots(options.media.size_width, static_cast<unsigned>(options.printer_resolution[0]));
  const unsigned labelLength = dots(options.media.size_length, static_cast<unsigned>(options.printer_resolution[1]));
  const PageChoice choice = choosePage(given, client, labelWidth, labelLength);
  const PageLayout& page = choice.layout;
  std::string refusal;
  pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;
  switch (choice.refusal) {
    case PageRefusal::none:
      if (state.raster.startPage(page)) return page;
      refusal = "Unable to send the page to the filter.";
      reason = PAPPL_JREASON_NONE;
      break;
    case PageRefusal::bitsPerPixel:
      refusal = "Pages of " + std::to_string(page.bitsPerPixel) + " bits per pixel cannot be printed.";
      break;
    case PageRefusal::shortRows:
      refusal = "Bad raster data seen: the page's rows are shorter than its width.";
      reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
      break;
    case PageRefusal::tooLarge:
      refusal = "A page of " + std::to_string(page.width) + " x " + std::to_string(page.height) +
                " dots is too large to print.";
      break;
  }
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  state.failed = true;
  state.filter.fail(refusal);
  return std::nullopt;
}

}  // namespace

bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  std::unique_ptr<CancelWatch> watch = driver != nullptr ? watchJob(job) : nullptr;
  if (watch == nullptr) return false;
  auto state = std::make_unique<RasterJob>(job, device, std::move(watch));
  if (!state->filter.start(ppdPath(*driver), filterOptions(*driver, *options, job))) return false;
  (void)fcntl(state->filter.input(), F_SETPIPE_SZ, kFilterPipeSize);
  papplJobSetData(job, state.release());
  return true;
}

bool startRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/, unsigned /*page*/) {
  RasterJob* state = rasterJob(job);
  return state != nullptr && !state->failed && startPage(job, *state, *options, options->header, nullptr);
}

bool writeRasterLine(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned y,
                     const unsigned char* line) {
  RasterJob* state = rasterJob(job);
  if (state == nullptr || state->failed) return false;
  if (papplJobIsCanceled(job)) {
    state->filter.cancel();
    return false;
  }
  state->raster.addRow(y, line);
  return true;
}

bool endRasterPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/,
                   unsigned /*page*/) {
  RasterJob* state = rasterJob(job);
  if (state == nullptr || state->failed) return false;
  // A page cut short by a cancel stays here.
  if (papplJobIsCanceled(job)) {
    state->filter.cancel();
    state->raster.pending().clear();
    return true;
  }
  // The filter prints a page once it has all of it; one that a cancel's
  // deadline ended as it took the page has not failed the job.
  if (!state->flush() && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the page to the filter.");
    state->failed = true;
    return false;
  }
  return true;
}

bool endRasterJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/) {
  std::unique_ptr<RasterJob> state(rasterJob(job));
  papplJobSetData(job, nullptr);
  if (state == nullptr) return false;
  if (papplJobIsCanceled(job)) {
    state->filter.cancel();
    state->raster.pending().clear();
  }
  state->raster.close();
  state->flush();
  const bool printed = state->filter.finish();
  return printed && !state->failed;
}

namespace {

// How many rows of a page go by between looks at whether the job was
// canceled.
constexpr unsigned kCancelCheckRows = 256;

// An Apple raster document read from its spool file with libcups, as PAPPL
// reads one from a client: its rows are the document's, whole.
class AppleRasterReader {
 public:
  explicit AppleRasterReader(int fd) : raster_(cupsRasterOpen(fd, CUPS_RASTER_READ)) {}
  ~AppleRasterReader() {
    if (raster_ != nullptr) cupsRasterClose(raster_);
  }
  AppleRasterReader(const AppleRasterReader&) = delete;
  AppleRasterReader& operator=(const AppleRasterReader&) = delete;

  bool readHeader(cups_page_header2_t& header) {
    std::memset(&header, 0, sizeof header);
    if (raster_ == nullptr || failed_ || !cupsRasterReadHeader2(raster_, &header)) return false;
    bytesPerLine_ = header.cupsBytesPerLine;
    return true;
  }
  // The rest of a row is read and dropped; a page's rows are no longer
  // than the label (the page is refused before its rows otherwise).
  bool readRow(std::span<unsigned char> out) {
    row_.resize(bytesPerLine_);
    if (raster_ == nullptr || cupsRasterReadPixels(raster_, row_.data(), bytesPerLine_) != bytesPerLine_) {
      failed_ = true;
      return false;
    }
    std::copy_n(row_.begin(), std::min<size_t>(out.size(), row_.size()), out.begin());
    return true;
  }
  // libcups does not tell a document's end from a damaged page header.
  bool failed() const { return failed_; }

 private:
  cups_raster_t* raster_;
  unsigned bytesPerLine_ = 0;
  std::vector<unsigned char> row_;
  bool failed_ = false;
};

// Reads the pages of a spooled raster document into the raster job, as
// PAPPL's reader hands them over; false when the job fails.
template <typename Reader>
bool printPages(pappl_job_t* job, pappl_device_t* device, Reader& reader, cups_page_header2_t& header,
                unsigned& pages) {
  using Options = std::unique_ptr<pappl_pr_options_t, decltype(&papplJobDeletePrintOptions)>;
  const auto optionsFor = [job](const cups_page_header2_t& page) {
    return Options(papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)),
                                              page.cupsBitsPerPixel > 8),
                   papplJobDeletePrintOptions);
  };
  Options options = optionsFor(header);
  if (options == nullptr || !startRasterJob(job, options.get(), device)) return false;
  RasterJob& state = *rasterJob(job);
  std::vector<unsigned char> row;
  bool printed = true;
  do {
    if (papplJobIsCanceled(job)) break;
    ++pages;
    papplJobSetImpressionsCompleted(job, 1);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Page %u raster data is %ux%ux%u.", pages, header.cupsWidth,
                header.cupsHeight, header.cupsBitsPerPixel);
    // What PAPPL's reader refuses.
    if (header.cupsWidth == 0 || header.cupsHeight == 0 ||
        (header.cupsBitsPerColor != 1 && header.cupsBitsPerColor != 8) ||
        fieldNumber(header.cupsColorOrder) != CUPS_ORDER_CHUNKED ||
        header.cupsBytesPerLine != (uint64_t{header.cupsWidth} * header.cupsBitsPerPixel + 7) / 8) {
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
      state.filter.fail("Bad raster data seen.");
      printed = false;
      break;
    }
    if (header.cupsBitsPerPixel > 8) {
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
      state.filter.fail("Color pages cannot be printed.");
      printed = false;
      break;
    }
    options = optionsFor(header);
    // PAPPL hands over its own header for rows of fewer than 8 bits.
    const bool clientHeader = options != nullptr && options->header.cupsBitsPerPixel >= 8 &&
                              header.cupsBitsPerPixel >= 8;
    const std::optional<PageLayout> page =
        options == nullptr ? std::nullopt
                           : startPage(job, state, *options, clientHeader ? header : options->header, &header);
    if (!page) {
      printed = false;
      break;
    }
    // Only what the label takes of each row is kept.
    const uint64_t kept = page->bitsPerPixel == 1 ? page->bytesPerLine
                                                  : uint64_t{page->width} * (page->bitsPerPixel / 8);
    row.resize(static_cast<size_t>(std::min<uint64_t>(kept, header.cupsBytesPerLine)));
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
      if (y % kCancelCheckRows == 0 && papplJobIsCanceled(job)) break;
      const bool wanted = y < page->height;
      if (!reader.readRow(wanted ? std::span(row) : std::span<unsigned char>())) {
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        // The page cut short stays here.
        state.raster.pending().clear();
        state.failed = true;
        state.filter.fail("The raster document ends or is damaged within page " + std::to_string(pages) + ".");
        printed = false;
        break;
      }
      if (wanted) state.raster.addRow(y, row.data());
    }
    if (!endRasterPage(job, options.get(), device, pages)) {
      printed = false;
      break;
    }
  } while (reader.readHeader(header));
  if (printed && reader.failed() && !papplJobIsCanceled(job)) {
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    state.filter.fail("The raster document is damaged after page " + std::to_string(pages) + ".");
    printed = false;
  }
  return endRasterJob(job, options.get(), device) && printed;
}

// Copies the document the client is sending into the spool: what PAPPL does
// with every other format. False, with the client answered, when it cannot.
bool spoolDocument(pappl_job_t* job, pappl_client_t* client, std::string& filename) {
  std::array<char, 1024> name{};
  Fd file(papplJobOpenFile(job, name.data(), name.size(), nullptr, nullptr, "w"));
  if (file.get() < 0) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to create print file: %s", std::strerror(errno));
    return false;
  }
  filename = name.data();
  http_t* http = papplClientGetHTTP(client);
  std::array<unsigned char, 64 * 1024> buffer;
  uint64_t total = 0;
  ssize_t got;
  while ((got = httpRead2(http, reinterpret_cast<char*>(buffer.data()), buffer.size())) > 0) {
    if (!writeAll(file.get(), std::span(buffer.data(), static_cast<size_t>(got)))) {
      // The limit on a document's size stops the write here (limits.cc
      // tells the client so).
      const int error = errno;
      papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to write print file: %s", std::strerror(error));
      return false;
    }
    total += static_cast<uint64_t>(got);
  }
  if (got < 0) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to read print file.");
    return false;
  }
  if (close(file.release()) != 0) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to write print file: %s", std::strerror(errno));
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Received %llu bytes of document data.", static_cast<unsigned long long>(total));
  return true;
}

// PAPPL's, which queues a spooled document, and reads and drops the rest of
// a client's document that cannot be taken: looked up, not linked, so that
// a PAPPL without them still runs the app, with its own raster reader.
const auto submitFile = theirs<void (*)(pappl_job_t*, const char*)>("_papplJobSubmitFile");
const auto flushDocument = theirs<void (*)(pappl_client_t*)>("_papplClientFlushDocumentData");

bool isRaster(const char* format) {
  return format != nullptr && (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
}

int byName(void* first, void* second, void* /*data*/) {
  return std::strcmp(static_cast<const char*>(first), static_cast<const char*>(second));
}

template <typename Reader>
bool printRasterDocument(pappl_job_t* job, pappl_device_t* device) {
  const char* filename = papplJobGetFilename(job);
  const Fd file(filename != nullptr ? open(filename, O_RDONLY | O_CLOEXEC) : -1);
  if (file.get() < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open %s: %s", filename ? filename : "the document",
                std::strerror(errno));
    papplJobSetMessage(job, "Unable to open the document.");
    return false;
  }
  Reader reader(file.get());
  cups_page_header2_t header;
  if (!reader.readHeader(header)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The document is no raster: no page header could be read.");
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    return false;
  }
  const unsigned total = header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount];
  if (total > 0) papplJobSetImpressions(job, static_cast<int>(total));
  unsigned pages = 0;
  const bool printed = printPages(job, device, reader, header, pages);
  if (total == 0) papplJobSetImpressions(job, static_cast<int>(pages));
  return printed;
}

}  // namespace

// Declared by PAPPL privately; the app's definition (request_guard.cc)
// leaves out other users' private values.
extern "C" void _papplJobCopyAttributesNoLock(pappl_job_t* job, pappl_client_t* client, cups_array_t* ra);

// PAPPL 1.3.1 reads a client's PWG or Apple raster document as it arrives,
// in the client's thread (PWG with libcups, one call per repeated pixel),
// and only while the printer prints nothing else: a raster job sent while
// another printed was answered server-error-busy. Here, in the client's
// thread with no lock held, the document is spooled as every other format
// is, the job queued and answered as PAPPL answers them, and printed from
// the job's thread with the app's reader (PWG) or libcups' (Apple raster).
extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
  static const auto pappls = theirs<void (*)(pappl_client_t*, pappl_job_t*)>("_papplJobCopyDocumentData");
  if (!isRaster(papplJobGetFormat(job))) {
    pappls(client, job);
    return;
  }
  std::string filename;
  if (!spoolDocument(job, client, filename)) {
    // The rest of the document is read and dropped, so that the answer
    // reaches the client; the job ends with nothing printed.
    flushDocument(client);
    if (!filename.empty()) unlink(filename.c_str());
    papplJobCancel(job);
    return;
  }
  // The job's thread starts once the client's answer is made: nothing else
  // changes the job meanwhile, which PAPPL would have locked.
  const JobStartsDeferred deferred;
  submitFile(job, filename.c_str());
  papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
  cups_array_t* requested = cupsArrayNew(byName, nullptr);
  for (const char* name : {"job-id", "job-state", "job-state-message", "job-state-reasons", "job-uri"}) {
    cupsArrayAdd(requested, const_cast<char*>(name));
  }
  _papplJobCopyAttributesNoLock(job, client, requested);
  cupsArrayDelete(requested);
}

bool rasterDocumentsSpooled() {
  return ours("_papplJobCopyDocumentData", reinterpret_cast<void*>(&_papplJobCopyDocumentData)) &&
         submitFile != nullptr && flushDocument != nullptr && jobsInArrivalOrder();
}

bool printPwgDocument(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  return printRasterDocument<PwgReader>(job, device);
}

bool printAppleRasterDocument(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  return printRasterDocument<AppleRasterReader>(job, device);
}
