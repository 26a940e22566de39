// PDF jobs: rendered by the same prefilters a CUPS queue with the model's PPD
// runs (pdftopdf, then gstoraster), so that a PDF sent straight to the app
// reaches the printer as the bytes the CUPS path writes for it. The raster
// goes page by page to the filter; the filter starts only once the first
// page is rendered, so that a PDF that cannot be rendered sends nothing to
// the printer.
#include <cups/raster.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "job_filter.h"
#include "job_options.h"
#include "jobs.h"
#include "line_splitter.h"
#include "page_packing.h"
#include "printer_data.h"
#include "server_settings.h"
#include "spawn.h"

namespace {

std::string prefilter(const char* name) { return gPaths.prefilterDirectory + "/" + name; }

// What each prefilter (and the Ghostscript that gstoraster starts) may use,
// far above what labels need: a 100-label 4 x 6 in job at 600 dpi takes
// gstoraster 0.7 s and runs in 128 MiB of address space, a 4 x 50 in label
// of 20000 lines and text 5 s. A document that takes more is taken for one
// made to tie the host up.
constexpr rlim_t kPrefilterSeconds = 300;
constexpr rlim_t kPrefilterAddressSpace = rlim_t{512} << 20;

// gstoraster copies the PDF into a file first; Ghostscript's band files are
// smaller than a page.
ChildLimits prefilterLimits() {
  return {kPrefilterSeconds, kPrefilterAddressSpace, std::max<rlim_t>(rlim_t{1} << 30, 4 * gLimits.documentBytes)};
}

// A job attribute's keyword, when it is one: the value goes into an
// options string, where a space or quote would start another option.
std::string keywordOf(pappl_job_t* job, const char* name) {
  ipp_attribute_t* attribute = papplJobGetAttribute(job, name);
  const char* value = attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
  if (value == nullptr || *value == '\0') return "";
  for (const char* c = value; *c != '\0'; ++c) {
    if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-' || *c == '_' || *c == '.')) return "";
  }
  return value;
}

// The job attributes pdftopdf lays the pages out by, as the scheduler
// passes them to a queue's filters.
std::string layoutOptions(pappl_job_t* job) {
  std::string out;
  if (ipp_attribute_t* ranges = papplJobGetAttribute(job, "page-ranges");
      ranges != nullptr && ippGetValueTag(ranges) == IPP_TAG_RANGE) {
    int upper = 0;
    const int lower = ippGetRange(ranges, 0, &upper);
    out += " page-ranges=" + std::to_string(lower) + "-" + std::to_string(upper);
  }
  if (const std::string scaling = keywordOf(job, "print-scaling"); !scaling.empty()) {
    out += " print-scaling=" + scaling;
  }
  if (ipp_attribute_t* orientation = papplJobGetAttribute(job, "orientation-requested");
      orientation != nullptr && ippGetValueTag(orientation) == IPP_TAG_ENUM) {
    out += " orientation-requested=" + std::to_string(ippGetInteger(orientation, 0));
  }
  return out;
}

// pdftopdf piped into gstoraster, both in one process group with the
// Ghostscript that gstoraster starts; the messages of each come on a pipe of
// its own, since pdftopdf writes a line's "ERROR: " apart from its text.
class Prefilters {
 public:
  Prefilters(pappl_job_t* job, CancelWatch& watch) : job_(job), watch_(watch) {}
  ~Prefilters() {
    stop();
    finish();
  }
  Prefilters(const Prefilters&) = delete;
  Prefilters& operator=(const Prefilters&) = delete;

  bool start(const std::string& ppd, const std::string& options) {
    auto pdf = makePipe(), raster = makePipe(), errors = makePipe(), renderErrors = makePipe();
    const Fd nothing = high(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!pdf || !raster || !errors || !renderErrors || nothing.get() < 0) {
      error_ = std::string("Unable to create the prefilters' pipes: ") + std::strerror(errno);
      papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", error_.c_str());
      return false;
    }
    const char* file = papplJobGetFilename(job_);
    if (file == nullptr) {
      error_ = "The job has no document.";
      return false;
    }
    const char* user = papplJobGetUsername(job_);
    const char* title = papplJobGetName(job_);
    std::vector<std::string> args{"pdftopdf", std::to_string(papplJobGetID(job_)), user ? user : "guest",
                                  title ? title : "", "1", options, file};
    // What the scheduler tells a queue's filters about the job; no PRINTER,
    // so that no color profile is looked up for a printer CUPS does not know.
    const std::vector<std::string> env{"PPD=" + ppd, "CONTENT_TYPE=application/pdf",
                                       "FINAL_CONTENT_TYPE=application/vnd.cups-raster", "CHARSET=utf-8",
                                       "PATH=/usr/bin:/bin", std::string("TMPDIR=") + papplGetTempDir()};
    const std::array<int, 3> first{nothing.get(), pdf->write.get(), errors->write.get()};
    if (!spawn("pdftopdf", args, env, first, 0, pids_[0])) return false;
    watch_.watch(pids_[0], true);
    args[0] = "gstoraster";
    args.pop_back();  // the PDF comes on standard input
    const std::array<int, 3> second{pdf->read.get(), raster->write.get(), renderErrors->write.get()};
    if (!spawn("gstoraster", args, env, second, pids_[0], pids_[1])) return false;
    raster_ = std::move(raster->read);
    errors_[0] = std::move(errors->read);
    errors_[1] = std::move(renderErrors->read);
    return true;
  }

  // Reads the rendered raster, taking in their messages first: pdftopdf has
  // said all it has to say of the document before a page is rendered. -1
  // once the job is canceled or the document is found damaged.
  ssize_t read(unsigned char* bytes, size_t length) {
    while (!papplJobIsCanceled(job_)) {
      if (damaged_) {
        stop();
        return -1;
      }
      std::array<pollfd, 3> fds{
          {{errors_[0].get(), POLLIN, 0}, {errors_[1].get(), POLLIN, 0}, {raster_.get(), POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return -1;
      if (fds[0].revents != 0 || fds[1].revents != 0) {
        for (size_t i = 0; i < 2; ++i) {
          if (fds[i].revents != 0) readMessages(i);
        }
        continue;
      }
      if (fds[2].revents != 0) {
        const ssize_t got = ::read(raster_.get(), bytes, length);
        if (got >= 0 || errno != EINTR) return got;
      }
    }
    return -1;
  }

  // Stops them all, Ghostscript too, when the job ends early.
  void stop() {
    if (pids_[0] > 0 && !stopped_) kill(-pids_[0], SIGTERM);
    stopped_ = true;
  }

  // Waits for them; true when both succeeded.
  bool finish() {
    raster_.reset();
    while (errors_[0].get() >= 0 || errors_[1].get() >= 0) {
      std::array<pollfd, 2> fds{{{errors_[0].get(), POLLIN, 0}, {errors_[1].get(), POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), 100) == 0 && papplJobIsCanceled(job_)) stop();
      for (size_t i = 0; i < 2; ++i) {
        if (fds[i].revents != 0) readMessages(i);
      }
    }
    bool succeeded = pids_[0] > 0 && pids_[1] > 0;
    // The group's leader last: the group's number is theirs until then.
    for (pid_t* pid : {&pids_[1], &pids_[0]}) {
      if (*pid <= 0) continue;
      rusage usage{};
      const int status = reap(*pid, &watch_, &usage);
      *pid = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
      succeeded = false;
      // The limit stops the process with SIGXCPU, or Ghostscript, whose
      // time counts for gstoraster, which then fails.
      if (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1 >= static_cast<long>(kPrefilterSeconds)) {
        error_ = "rendering took more than the limit of " + std::to_string(kPrefilterSeconds) +
                 " s of processor time";
      }
    }
    return succeeded && !stopped_ && !damaged_;
  }

  // The last error a prefilter named, for the job's message.
  const std::string& error() const { return error_; }

 private:
  bool spawn(const char* name, const std::vector<std::string>& args, const std::vector<std::string>& env,
             std::span<const int> fds, pid_t group, pid_t& pid) {
    const std::string program = prefilter(name);
    const int status = spawnProgram(program, args, env, fds, &pid, group, prefilterLimits());
    if (status == 0) return true;
    pid = -1;
    error_ = std::string("Unable to start ") + name + ": " + std::strerror(status);
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "Unable to start %s: %s", program.c_str(), std::strerror(status));
    return false;
  }

  void readMessages(size_t from) {
    std::array<char, 4096> buffer;
    const ssize_t n = ::read(errors_[from].get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) return;
    const auto line = [this](std::string_view text) { message(text); };
    if (n <= 0) {
      lines_[from].finish(line);
      errors_[from].reset();
      return;
    }
    lines_[from].add(std::span(buffer.data(), static_cast<size_t>(n)), line);
  }

  void message(std::string_view line) {
    // Newer qpdf (Debian 13's pdftopdf) goes on past a PDF whose trailer or
    // content streams are lost, with a warning only, and renders what it
    // could find: blank or partial pages. Older ones stopped with an error.
    if (line.starts_with("WARNING: ") && (line.find("unable to find trailer dictionary") != line.npos ||
                                          line.find("unable to recover stream data") != line.npos)) {
      damaged_ = true;
      // "the document (object 10 0, offset 646): unable to recover stream
      // data; treating stream as empty": the job is not printed at all.
      error_ = clientMessage(line.substr(9), papplJobGetFilename(job_));
      error_ = error_.substr(0, error_.find(';'));
      if (error_.starts_with("the document")) error_.insert(12, " is damaged");
      papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", std::string(line.substr(9)).c_str());
    } else if (line.starts_with("ERROR: ")) {
      error_ = clientMessage(line.substr(7), papplJobGetFilename(job_));
      papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", std::string(line.substr(7)).c_str());
    } else {
      papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%s", std::string(line).c_str());  // the log takes no precision
    }
  }

  pappl_job_t* job_;
  CancelWatch& watch_;
  std::array<pid_t, 2> pids_{-1, -1};
  bool stopped_ = false;
  bool damaged_ = false;  // pdftopdf warned that the document's content is lost
  Fd raster_;
  std::array<Fd, 2> errors_;  // pdftopdf's, gstoraster's and Ghostscript's
  std::array<LineSplitter, 2> lines_;
  std::string error_;
};

ssize_t readRendered(void* prefilters, unsigned char* bytes, size_t length) {
  return static_cast<Prefilters*>(prefilters)->read(bytes, length);
}

using Raster = std::unique_ptr<cups_raster_t, decltype(&cupsRasterClose)>;

// Copies the pages from `header` on to the filter, counting each. Each page
// reaches the filter whole, in one write, as on the raster path: a cancel or
// a renderer that stops within a page (`pageCut`) never leaves the filter a
// page cut short, which it would report as damaged.
bool copyPages(pappl_job_t* job, cups_raster_t* in, cups_page_header2_t& header, int input, bool& pageCut) {
  FilterRaster out;
  do {
    if (header.cupsBytesPerLine == 0 || !out.startPage(header)) return false;
    // Uncompressed raster: the rows are the bytes the filter reads.
    unsigned char* rows = out.addBytes(size_t{header.cupsBytesPerLine} * header.cupsHeight);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
      if (cupsRasterReadPixels(in, rows + size_t{y} * header.cupsBytesPerLine, header.cupsBytesPerLine) !=
          header.cupsBytesPerLine) {
        pageCut = true;
        return false;
      }
    }
    if (!writeAll(input, out.pending())) return false;
    out.pending().clear();
    papplJobSetImpressionsCompleted(job, 1);
  } while (cupsRasterReadHeader2(in, &header) != 0);
  return true;
}

}  // namespace

bool pdfPrefiltersInstalled() {
  return access(prefilter("pdftopdf").c_str(), X_OK) == 0 && access(prefilter("gstoraster").c_str(), X_OK) == 0;
}

bool printPdf(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  const DriverInfo* driver = jobDriver(job);
  const std::unique_ptr<pappl_pr_options_t, decltype(&papplJobDeletePrintOptions)> options(
      papplJobCreatePrintOptions(job, 0, false), papplJobDeletePrintOptions);
  if (driver == nullptr || options == nullptr) return false;
  const std::string ppd = ppdPath(*driver);
  // The filter gets the prefilters' options too, as in a queue.
  const std::string settings = filterOptions(*driver, *options, job) + layoutOptions(job);
  const std::unique_ptr<CancelWatch> watch = watchJob(job);
  if (watch == nullptr) return false;
  Prefilters render(job, *watch);
  if (!render.start(ppd, settings)) {
    papplJobSetMessage(job, "%s", render.error().c_str());
    return false;
  }
  const Raster in(cupsRasterOpenIO(readRendered, &render, CUPS_RASTER_READ), cupsRasterClose);
  cups_page_header2_t header;
  if (in == nullptr || cupsRasterReadHeader2(in.get(), &header) == 0) {
    if (!render.finish()) {
      if (papplJobIsCanceled(job)) return false;
      const std::string why = render.error().empty() ? "no page could be rendered" : render.error();
      papplJobSetMessage(job, "Unable to print the PDF: %s", why.c_str());
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
      return false;
    }
    papplJobSetMessage(job, "The PDF has no page to print.");
    return true;
  }
  bool pageCut = false;
  const bool printed = printFilterInput(job, device, *watch, ppd, settings, [&](int input) {
    return copyPages(job, in.get(), header, input, pageCut);
  });
  // The rest is not wanted once the filter has failed.
  if (!printed && !pageCut) render.stop();
  const bool rendered = render.finish();
  if ((pageCut || (!rendered && printed)) && !papplJobIsCanceled(job)) {
    const std::string why = render.error().empty() ? "a page was not rendered whole" : render.error();
    papplJobSetMessage(job, "Unable to print the PDF: %s", why.c_str());
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
  }
  return printed && rendered;
}
