// One filter process per job, wired as the scheduler wires it: the raster on
// standard input, the label commands from standard output to the device,
// its messages from standard error into the job and the printer, descriptor
// 3 the back channel and 4 the side channel.
#include <cups/raster.h>
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app.h"
#include "interpose.h"
#include "page_packing.h"
#include "spawn.h"

extern char** environ;

namespace {

// Printer-state reasons the filter names, as PAPPL's bits; the ones PAPPL
// has no bit for count as "other".
pappl_preason_t reasonBit(std::string_view keyword) {
  if (keyword == "media-jam") return PAPPL_PREASON_MEDIA_JAM;
  if (keyword == "media-empty") return PAPPL_PREASON_MEDIA_EMPTY;
  if (keyword == "cover-open") return PAPPL_PREASON_COVER_OPEN;
  if (keyword == "ribbon-out") return PAPPL_PREASON_MARKER_SUPPLY_EMPTY;
  return PAPPL_PREASON_OTHER;
}

// How often a status query that waits for the printer looks whether it
// should give way.
constexpr int kJobCheckMilliseconds = 50;

// A running filter and the thread that moves its output.
class FilterProcess {
 public:
  ~FilterProcess() { finish(); }

  // `job` is null for a status query, in which the filter's status request
  // is answered from the printer over the back channel. A query talks to
  // the printer over `connection` when one is given, else over `device`,
  // and stops waiting once `stop` is set. A job's filter is ended by
  // `watch` once the job is canceled.
  bool start(pappl_printer_t* printer, pappl_job_t* job, pappl_device_t* device, const std::string& ppd,
             const std::string& options, const char* file, CancelWatch* watch, Fd connection = Fd(),
             const std::atomic<bool>* stop = nullptr) {
    printer_ = printer;
    stop_ = stop;
    job_ = job;
    watch_ = watch;
    device_ = device;
    connection_ = std::move(connection);
    viaConnection_ = connection_.get() >= 0;
    auto input = makePipe(), output = makePipe(), errors = makePipe(), back = makePipe();
    int side[2];
    if (!input || !output || !errors || !back || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, side) != 0) {
      log(PAPPL_LOGLEVEL_ERROR, std::string("Unable to create the filter's pipes: ") + std::strerror(errno));
      return false;
    }
    Fd sideOurs = high(side[0]), sideChild = high(side[1]);
    // No status byte is ever waiting on the back channel: the filter must
    // never block on it.
    fcntl(back->read.get(), F_SETFL, O_NONBLOCK);
    Fd nullInput;
    if (file != nullptr) nullInput = high(open("/dev/null", O_RDONLY | O_CLOEXEC));

    const std::string jobId = std::to_string(job ? papplJobGetID(job) : 0);
    const char* user = job ? papplJobGetUsername(job) : "status";
    const char* title = job ? papplJobGetName(job) : "status";
    std::vector<std::string> args{"rastertoTmkLabel", jobId, user ? user : "guest", title ? title : "", "1",
                                  options};
    if (file != nullptr) args.emplace_back(file);
    // The filter reads only PPD; the sanitizers' settings pass so that a
    // checked build checks the filter too.
    std::vector<std::string> env{"PPD=" + ppd};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view variable(*entry);
      if (variable.starts_with("ASAN_OPTIONS=") || variable.starts_with("UBSAN_OPTIONS=") ||
          variable.starts_with("LSAN_OPTIONS=")) {
        env.emplace_back(*entry);
      }
    }
    const std::array<int, 5> fds{file != nullptr ? nullInput.get() : input->read.get(), output->write.get(),
                                 errors->write.get(), back->read.get(), sideChild.get()};
    const int status = spawnProgram(gPaths.filter, std::move(args), std::move(env), fds, &pid_);
    if (status != 0) {
      log(PAPPL_LOGLEVEL_ERROR, "Unable to start the filter " + gPaths.filter + ": " + std::strerror(status),
          std::string("Unable to start the filter: ") + std::strerror(status));
      pid_ = -1;
      return false;
    }
    log(PAPPL_LOGLEVEL_DEBUG, "Filter " + std::to_string(pid_) + ": PPD=" + ppd + " options '" + options + "'");
    if (file == nullptr) input_ = std::move(input->write);
    backWrite_ = std::move(back->write);
    try {
      pump_ = std::thread(&FilterProcess::pump, this, std::move(output->read), std::move(errors->read),
                          std::move(sideOurs));
    } catch (const std::system_error& error) {
      // No exception may leave a PAPPL callback; a filter whose output
      // nobody reads cannot run, so it goes.
      log(PAPPL_LOGLEVEL_ERROR, std::string("Unable to start the filter's output thread: ") + error.what());
      kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
      return false;
    }
    if (watch_ != nullptr) {
      watch_->watch(pid_, false);
      // A printer that has stopped reading would hold the filter's output
      // and the job with it.
      watch_->onDeadline([this] {
        cut_ = cutPrinterConnection(printer_, device_);
        if (cut_ >= 0) log(PAPPL_LOGLEVEL_INFO, "The printer took nothing since the cancel: its connection is cut.");
      });
    }
    return true;
  }

  int input() const { return input_.get(); }
  bool answered() const { return answered_; }  // after finish()

  void cancel() {
    if (pid_ > 0 && !canceled_.exchange(true)) {
      kill(pid_, SIGTERM);
    }
  }

  // Ends the input, waits for the filter and its output; true when the
  // filter succeeded and every byte reached the device.
  bool finish() {
    if (pid_ <= 0) return false;
    input_.reset();
    if (pump_.joinable()) pump_.join();
    backWrite_.reset();
    const int status = reap(pid_, watch_);
    pid_ = -1;
    if (watch_ != nullptr) watch_->onDeadline(nullptr);
    // After a cut this drops what PAPPL still holds of the job's bytes.
    papplDeviceFlush(device_);
    if (cut_ >= 0) renewPrinterConnection(printer_, cut_);
    // A status query reports only when the printer answered; then every
    // reason it cleared and did not set again goes.
    if (job_ == nullptr && (added_ != 0 || removed_ != 0)) {
      papplPrinterSetReasons(printer_, added_, removed_ & ~added_);
    }
    if (WIFSIGNALED(status)) {
      log(PAPPL_LOGLEVEL_ERROR, "The filter was stopped by signal " + std::to_string(WTERMSIG(status)) + ".");
      return false;
    }
    if (WEXITSTATUS(status) != 0) {
      log(PAPPL_LOGLEVEL_ERROR, "The filter failed with status " + std::to_string(WEXITSTATUS(status)) + ".");
      return false;
    }
    return !deviceFailed_;
  }

 private:
  void pump(Fd output, Fd errors, Fd side) {
    std::array<char, 64 * 1024> buffer;
    std::string pending;
    while (output.get() >= 0 || errors.get() >= 0) {
      // While a status reply is awaited on the connection, every short
      // while the wait looks whether it should give way.
      const bool awaiting = asked_ && connection_.get() >= 0;
      std::array<pollfd, 4> fds{{{output.get(), POLLIN, 0},
                                 {errors.get(), POLLIN, 0},
                                 {side.get(), POLLIN, 0},
                                 {awaiting ? connection_.get() : -1, POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), awaiting ? kJobCheckMilliseconds : -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) {
        const ssize_t n = read(output.get(), buffer.data(), buffer.size());
        if (n > 0) {
          // After a failed write the rest is read and dropped, so that the
          // filter ends instead of blocking.
          if (!deviceFailed_ && !send(std::span(buffer.data(), static_cast<size_t>(n)))) {
            deviceFailed_ = true;
            if (job_ != nullptr) {
              log(PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
              cancel();
            }
          }
          // The status request comes alone, and the filter waits for the
          // answer.
          if (job_ == nullptr && !asked_) {
            asked_ = true;
            if (deviceFailed_) {
              endReply("the printer did not take the status request");
            } else if (!viaConnection_) {
              readDeviceReply();
            }
          }
        } else if (n == 0 || errno != EINTR) {
          output.reset();
        }
      }
      if (fds[3].revents != 0) {
        readConnectionReply();
      } else if (const char* why = awaiting ? giveWay() : nullptr) {
        endReply(why);
      }
      if (fds[1].revents != 0) {
        const ssize_t n = read(errors.get(), buffer.data(), buffer.size());
        if (n > 0) {
          pending.append(buffer.data(), static_cast<size_t>(n));
          size_t end;
          while ((end = pending.find('\n')) != std::string::npos) {
            message(std::string_view(pending).substr(0, end));
            pending.erase(0, end + 1);
          }
        } else if (n == 0 || errno != EINTR) {
          if (!pending.empty()) message(pending);
          errors.reset();
        }
      }
      if (fds[2].revents != 0) answerSideChannel(side);
    }
    if (asked_ && connection_.get() >= 0) endReply("no answer");
  }

  bool send(std::span<const char> bytes) {
    if (!viaConnection_) return papplDeviceWrite(device_, bytes.data(), bytes.size()) >= 0;
    while (!bytes.empty()) {
      const ssize_t put = ::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return true;
  }

  // PAPPL's read waits up to 10 s for a silent printer while the query holds
  // the device, and a job cannot open it meanwhile: a job that is already
  // waiting goes first.
  void readDeviceReply() {
    if (const char* why = giveWay()) {
      endReply(why);
      return;
    }
    std::array<unsigned char, 2> reply{};
    papplDeviceFlush(device_);
    const ssize_t got = papplDeviceRead(device_, reply.data(), reply.size());
    answered_ = got > 0;
    if (answered_) (void)!write(backWrite_.get(), reply.data(), static_cast<size_t>(got));
    endReply(answered_ ? nullptr : "no answer");
  }

  // The filter reads at most 2 bytes of the answer; the printer's first
  // bytes are all of it.
  void readConnectionReply() {
    std::array<unsigned char, 2> reply{};
    ssize_t got;
    while ((got = read(connection_.get(), reply.data(), reply.size())) < 0 && errno == EINTR) {
    }
    answered_ = got > 0;
    if (answered_) (void)!write(backWrite_.get(), reply.data(), static_cast<size_t>(got));
    endReply(answered_ ? nullptr : got == 0 ? "the printer closed the connection" : "the connection failed");
  }

  // Why a status query should stop waiting for the printer, or null.
  const char* giveWay() const {
    if (stop_ != nullptr && *stop_) return "the printer is being deleted";
    if (papplPrinterGetNumberOfActiveJobs(printer_) > 0) return "a job wants the printer";
    return nullptr;
  }

  // Ends the filter's wait for the status byte: it reads what was passed on,
  // then the end of the back channel. The connection is let go at once, for
  // a printer that serves one connection at a time.
  void endReply(const char* why) {
    if (why != nullptr) log(PAPPL_LOGLEVEL_DEBUG, std::string("No status from the printer: ") + why + ".");
    backWrite_.reset();
    connection_.reset();
  }

  // The filter's drain request: everything sent so far goes to the printer.
  void answerSideChannel(Fd& side) {
    std::array<unsigned char, 4 + 64> request{};
    const ssize_t n = read(side.get(), request.data(), request.size());
    if (n < 4) {
      side.reset();
      return;
    }
    const auto command = static_cast<cups_sc_command_t>(request[0]);
    cups_sc_status_t status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
    if (command == CUPS_SC_CMD_DRAIN_OUTPUT) {
      papplDeviceFlush(device_);
      status = CUPS_SC_STATUS_OK;
    }
    const std::array<unsigned char, 4> reply{request[0], static_cast<unsigned char>(status), 0, 0};
    if (write(side.get(), reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) side.reset();
  }

  // `forClient`, when given, is the job's message instead of `text`.
  void log(pappl_loglevel_t level, const std::string& text, const std::string& forClient = "") {
    if (job_ != nullptr) {
      // A canceled job's filter and printer may fail as it ends: that is the
      // cancel, not an error. (PAPPL counts an aborted job as canceled too.)
      const bool canceled = papplJobIsCanceled(job_) && papplJobGetState(job_) != IPP_JSTATE_ABORTED;
      if (canceled && level == PAPPL_LOGLEVEL_ERROR) level = PAPPL_LOGLEVEL_INFO;
      papplLogJob(job_, level, "%s", text.c_str());
      // The job tells why it failed; the filter's own words come first.
      if (level == PAPPL_LOGLEVEL_ERROR && !filterSaidWhy_) {
        papplJobSetMessage(job_, "%s", (forClient.empty() ? text : forClient).c_str());
      }
    } else {
      papplLogPrinter(printer_, level, "%s", text.c_str());
    }
  }

  void message(std::string_view line) {
    if (job_ == nullptr) {
      // A status query: only its reasons count.
      if (line.starts_with("STATE: +")) added_ |= reasonBit(line.substr(8));
      if (line.starts_with("STATE: -")) removed_ |= reasonBit(line.substr(8));
      return;
    }
    if (line.starts_with("INFO: ")) {
      papplJobSetMessage(job_, "%s", clientMessage(line.substr(6), papplJobGetFilename(job_)).c_str());
    } else if (line.starts_with("ERROR: ")) {
      filterSaidWhy_ = true;
      papplJobSetMessage(job_, "%s", clientMessage(line.substr(7), papplJobGetFilename(job_)).c_str());
      // PAPPL's log ignores a precision and would go on into the lines
      // that follow: its text is a string of its own.
      papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", std::string(line.substr(7)).c_str());
    } else if (line.starts_with("STATE: +")) {
      // Only reasons the filter sets: the cleared ones it names with the
      // status check off say nothing about the printer, and the app's own
      // status poll clears them.
      papplPrinterSetReasons(papplJobGetPrinter(job_), reasonBit(line.substr(8)), PAPPL_PREASON_NONE);
    } else if (line.starts_with("PAGE: ")) {
      // "PAGE: page copies": PAPPL counted the page, the printer makes the
      // copies.
      const std::string text(line.substr(6));
      int page = 0, copies = 0;
      if (std::sscanf(text.c_str(), "%d %d", &page, &copies) == 2 && copies > 1) {
        papplJobSetImpressionsCompleted(job_, copies - 1);
      }
    } else {
      papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%s", std::string(line).c_str());
    }
  }

  pappl_printer_t* printer_ = nullptr;
  pappl_job_t* job_ = nullptr;
  pappl_device_t* device_ = nullptr;
  CancelWatch* watch_ = nullptr;
  int cut_ = -1;  // the device's descriptor, once cut by the watch
  Fd connection_;
  const std::atomic<bool>* stop_ = nullptr;
  bool viaConnection_ = false;
  bool asked_ = false, answered_ = false;
  pappl_preason_t added_ = PAPPL_PREASON_NONE, removed_ = PAPPL_PREASON_NONE;
  pid_t pid_ = -1;
  std::atomic<bool> canceled_{false};  // the job's thread and the pump thread cancel
  bool deviceFailed_ = false;  // written by the pump thread, read after join
  bool filterSaidWhy_ = false;  // the same
  Fd input_, backWrite_;
  std::thread pump_;
};

// What one raster job keeps between PAPPL's callbacks.
struct RasterJob {
  std::unique_ptr<CancelWatch> watch;  // outlives the filter it ends
  FilterProcess filter;
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

const DriverInfo* jobDriver(pappl_job_t* job) {
  const DriverInfo* info = driverInfo(papplPrinterGetDriverName(papplJobGetPrinter(job)));
  if (info == nullptr) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer's driver is unknown.");
  return info;
}

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

std::string clientMessage(std::string_view line, const char* document) {
  std::string text(line);
  if (document != nullptr && *document != '\0') {
    const std::string_view path(document);
    for (size_t at; (at = text.find(path)) != std::string::npos;) text.replace(at, path.size(), "the document");
  }
  // Any other absolute path: its last part.
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '/' || (i > 0 && std::strchr(" \t\"'(<[=", text[i - 1]) == nullptr)) {
      out += text[i++];
      continue;
    }
    const size_t end = std::min(text.find_first_of(" \t\"')>],;", i), text.size());
    const std::string_view path(text.data() + i, end - i);
    out += path.substr(path.find_last_of('/') + 1);
    i = end;
  }
  return out;
}

std::string ppdPath(const DriverInfo& driver) {
  return gPaths.ppdDirectory + "/tmk" + std::to_string(driver.ppdModel) + ".ppd";
}

bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  if (driver == nullptr) return false;
  auto state = std::make_unique<RasterJob>();
  state->watch = watchJob(job);
  if (state->watch == nullptr || !state->filter.start(papplJobGetPrinter(job), job, device, ppdPath(*driver),
                                                      filterOptions(*driver, *options, job), nullptr,
                                                      state->watch.get())) {
    return false;
  }
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

bool printRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  if (driver == nullptr) return false;
  const std::unique_ptr<CancelWatch> watch = watchJob(job);
  FilterProcess filter;
  if (watch == nullptr || !filter.start(papplJobGetPrinter(job), job, device, ppdPath(*driver),
                                        filterOptions(*driver, *options, job), papplJobGetFilename(job),
                                        watch.get())) {
    return false;
  }
  return filter.finish();
}

bool printFilterInput(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch, const std::string& ppd,
                      const std::string& options, const std::function<bool(int input)>& feed) {
  FilterProcess filter;
  if (!filter.start(papplJobGetPrinter(job), job, device, ppd, options, nullptr, &watch)) return false;
  const bool fed = feed(filter.input());
  if (!fed || papplJobIsCanceled(job)) filter.cancel();
  return filter.finish() && fed;
}

bool queryPrinterStatus(pappl_printer_t* printer, const std::atomic<bool>& stop) {
  const DriverInfo* driver = driverInfo(papplPrinterGetDriverName(printer));
  const char* uri = papplPrinterGetDeviceURI(printer);
  // file: devices have no read side.
  if (driver == nullptr || uri == nullptr || std::string_view(uri).starts_with("file:") || stop) return false;
  // A printer busy with a job is asked another time.
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) return true;
  // A socket:// printer gets a connection of the app's own; other devices
  // (USB) are reached only through PAPPL.
  Fd connection;
  pappl_device_t* device = nullptr;
  if (std::string_view(uri).starts_with("socket:")) {
    connection = connectToPrinter(printer, uri, stop);
    if (connection.get() < 0) return false;
  } else if ((device = papplPrinterOpenDevice(printer)) == nullptr) {
    return true;
  }
  bool answered = false;
  {
    FilterProcess filter;
    if (filter.start(printer, nullptr, device, ppdPath(*driver), "StatusCheck=1 RunTrace=0_Off", "/dev/null",
                     nullptr, std::move(connection), &stop)) {
      filter.finish();
      answered = filter.answered();
    }
  }
  if (device != nullptr) papplPrinterCloseDevice(printer);
  return answered;
}
