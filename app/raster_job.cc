// Raster pages as PAPPL reads them from a client: each page chosen from the
// headers, cut to the label and packed to 1 bit as its rows come, and sent
// to the filter whole.
#include <cups/raster.h>
#include <fcntl.h>

#include <memory>
#include <utility>

#include "interpose.h"
#include "job_filter.h"
#include "job_options.h"
#include "jobs.h"
#include "page_packing.h"
#include "printer_data.h"

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

// The page header PAPPL last read from a client's raster stream, in the
// thread that read it: PAPPL 1.3.1 gives the driver the client's header only
// when the client's rows and its own are both 8-bit or more, and otherwise
// keeps its own 8-bit header while handing over the client's rows as they
// are, so that a 1-bit page could not be told from an 8-bit one. PAPPL reads
// the header of each page in the thread that then calls startRasterPage for
// it, through the cupsRasterReadHeader2 below.
struct PageHeaderRecord {
  bool fresh = false;  // read since the last page started in this thread
  cups_page_header2_t header{};
};
thread_local PageHeaderRecord tPageHeader;

// libcups' own cupsRasterReadHeader2.
auto libcupsReadHeader() {
  static const auto function = theirs<unsigned (*)(cups_raster_t*, cups_page_header2_t*)>("cupsRasterReadHeader2");
  return function;
}

RasterJob* rasterJob(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

}  // namespace

// Every caller's cupsRasterReadHeader2, PAPPL's included, comes here first:
// the program's definition comes before libcups' in symbol lookup. It reads
// with libcups' and keeps what it read for startRasterPage.
extern "C" unsigned cupsRasterReadHeader2(cups_raster_t* r, cups_page_header2_t* h) {
  const auto read = libcupsReadHeader();
  if (read == nullptr) return 0;
  const unsigned done = read(r, h);
  if (done != 0 && h != nullptr) {
    tPageHeader.header = *h;
    tPageHeader.fresh = true;
  }
  return done;
}

bool clientPageHeadersSeen() { return ours("cupsRasterReadHeader2", reinterpret_cast<void*>(&cupsRasterReadHeader2)); }

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
  const PageHeaderRecord seen = std::exchange(tPageHeader, PageHeaderRecord{});
  if (state == nullptr || state->failed) return false;
  const unsigned labelWidth = dots(options->media.size_width, static_cast<unsigned>(options->printer_resolution[0]));
  const unsigned labelLength = dots(options->media.size_length, static_cast<unsigned>(options->printer_resolution[1]));
  const PageChoice choice = choosePage(options->header, seen.fresh ? &seen.header : nullptr, labelWidth, labelLength);
  const PageLayout& page = choice.layout;
  switch (choice.refusal) {
    case PageRefusal::none:
      break;
    case PageRefusal::bitsPerPixel:
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Pages of %u bits per pixel cannot be printed.", page.bitsPerPixel);
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
      break;
    case PageRefusal::shortRows:
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Bad raster data seen: the page's rows are shorter than its width.");
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
      break;
    case PageRefusal::tooLarge:
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "A page of %u x %u dots is too large to print.", page.width,
                  page.height);
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
      break;
  }
  if (choice.refusal != PageRefusal::none) {
    state->failed = true;
    state->filter.cancel();
    return false;
  }
  if (!state->raster.startPage(page)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the page to the filter.");
    state->failed = true;
    state->filter.cancel();
    return false;
  }
  return true;
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
  // A header read for a page that never started is no other job's.
  tPageHeader = PageHeaderRecord{};
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
