// One filter process per job, wired as the scheduler wires it: the raster on
// standard input, the label commands from standard output to the device,
// its messages from standard error into the job and the printer, descriptor
// 3 the back channel and 4 the side channel.
#include <cups/raster.h>
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app.h"

extern char** environ;

namespace {

// A descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Moves a descriptor above the child's 0 to 4, so that no dup2 in the child
// overwrites another of its sources; keeps it close-on-exec.
Fd high(int fd) {
  if (fd < 0 || fd > 4) return Fd(fd);
  Fd moved(fcntl(fd, F_DUPFD_CLOEXEC, 10));
  close(fd);
  return moved;
}

struct Pipe {
  Fd read, write;
};

std::optional<Pipe> makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{high(fds[0]), high(fds[1])};
}

// Printer-state reasons the filter names, as PAPPL's bits; the ones PAPPL
// has no bit for count as "other".
pappl_preason_t reasonBit(std::string_view keyword) {
  if (keyword == "media-jam") return PAPPL_PREASON_MEDIA_JAM;
  if (keyword == "media-empty") return PAPPL_PREASON_MEDIA_EMPTY;
  if (keyword == "cover-open") return PAPPL_PREASON_COVER_OPEN;
  if (keyword == "ribbon-out") return PAPPL_PREASON_MARKER_SUPPLY_EMPTY;
  return PAPPL_PREASON_OTHER;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A running filter and the thread that moves its output.
class FilterProcess {
 public:
  ~FilterProcess() { finish(); }

  // `job` is null for a status query, in which the filter's status request
  // is answered from the printer over the back channel.
  bool start(pappl_printer_t* printer, pappl_job_t* job, pappl_device_t* device, const std::string& ppd,
             const std::string& options, const char* file) {
    printer_ = printer;
    job_ = job;
    device_ = device;
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, file != nullptr ? nullInput.get() : input->read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, output->write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errors->write.get(), 2);
    posix_spawn_file_actions_adddup2(&actions, back->read.get(), 3);
    posix_spawn_file_actions_adddup2(&actions, sideChild.get(), 4);
    // The child starts with default signal handling and nothing blocked,
    // whatever PAPPL's threads have set: SIGTERM must cancel it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string jobId = std::to_string(job ? papplJobGetID(job) : 0);
    const char* user = job ? papplJobGetUsername(job) : "status";
    const char* title = job ? papplJobGetName(job) : "status";
    std::vector<std::string> args{"rastertoTmkLabel", jobId, user ? user : "guest", title ? title : "", "1",
                                  options};
    if (file != nullptr) args.emplace_back(file);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The filter reads only PPD; the sanitizers' settings pass so that a
    // checked build checks the filter too.
    std::vector<std::string> env{"PPD=" + ppd};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (startsWith(*entry, "ASAN_OPTIONS=") || startsWith(*entry, "UBSAN_OPTIONS=") ||
          startsWith(*entry, "LSAN_OPTIONS=")) {
        env.emplace_back(*entry);
      }
    }
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int status =
        posix_spawn(&pid_, gPaths.filter.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) {
      log(PAPPL_LOGLEVEL_ERROR, "Unable to start the filter " + gPaths.filter + ": " + std::strerror(status));
      pid_ = -1;
      return false;
    }
    log(PAPPL_LOGLEVEL_DEBUG, "Filter " + std::to_string(pid_) + ": PPD=" + ppd + " options '" + options + "'");
    if (file == nullptr) input_ = std::move(input->write);
    backWrite_ = std::move(back->write);
    pump_ = std::thread(&FilterProcess::pump, this, std::move(output->read), std::move(errors->read),
                        std::move(sideOurs));
    return true;
  }

  int input() const { return input_.get(); }
  bool answered() const { return answered_; }  // after finish()

  void cancel() {
    if (pid_ > 0 && !canceled_) {
      canceled_ = true;
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
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    papplDeviceFlush(device_);
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
      std::array<pollfd, 3> fds{{{output.get(), POLLIN, 0}, {errors.get(), POLLIN, 0}, {side.get(), POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) {
        const ssize_t n = read(output.get(), buffer.data(), buffer.size());
        if (n > 0) {
          // After a failed write the rest is read and dropped, so that the
          // filter ends instead of blocking.
          if (!deviceFailed_ && papplDeviceWrite(device_, buffer.data(), static_cast<size_t>(n)) < 0) {
            deviceFailed_ = true;
            log(PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
            cancel();
          }
          // The status request comes alone, and the filter waits for the
          // answer; a silent printer costs this thread PAPPL's read timeout.
          if (job_ == nullptr && !asked_) {
            asked_ = true;
            std::array<unsigned char, 2> reply{};
            papplDeviceFlush(device_);
            const ssize_t got = papplDeviceRead(device_, reply.data(), reply.size());
            answered_ = got > 0;
            if (answered_) (void)!write(backWrite_.get(), reply.data(), static_cast<size_t>(got));
          }
        } else if (n == 0 || errno != EINTR) {
          output.reset();
        }
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

  void log(pappl_loglevel_t level, const std::string& text) {
    if (job_ != nullptr) {
      papplLogJob(job_, level, "%s", text.c_str());
      // The job tells why it failed; the filter's own words come first.
      if (level == PAPPL_LOGLEVEL_ERROR && !filterSaidWhy_) papplJobSetMessage(job_, "%s", text.c_str());
    } else {
      papplLogPrinter(printer_, level, "%s", text.c_str());
    }
  }

  void message(std::string_view line) {
    if (job_ == nullptr) {
      // A status query: only its reasons count.
      if (startsWith(line, "STATE: +")) added_ |= reasonBit(line.substr(8));
      if (startsWith(line, "STATE: -")) removed_ |= reasonBit(line.substr(8));
      return;
    }
    if (startsWith(line, "INFO: ")) {
      papplJobSetMessage(job_, "%.*s", static_cast<int>(line.size() - 6), line.data() + 6);
    } else if (startsWith(line, "ERROR: ")) {
      filterSaidWhy_ = true;
      papplJobSetMessage(job_, "%.*s", static_cast<int>(line.size() - 7), line.data() + 7);
      papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%.*s", static_cast<int>(line.size() - 7), line.data() + 7);
    } else if (startsWith(line, "STATE: +")) {
      // Only reasons the filter sets: the cleared ones it names with the
      // status check off say nothing about the printer, and the app's own
      // status poll clears them.
      papplPrinterSetReasons(papplJobGetPrinter(job_), reasonBit(line.substr(8)), PAPPL_PREASON_NONE);
    } else if (startsWith(line, "PAGE: ")) {
      // "PAGE: page copies": PAPPL counted the page, the printer makes the
      // copies.
      const std::string text(line.substr(6));
      int page = 0, copies = 0;
      if (std::sscanf(text.c_str(), "%d %d", &page, &copies) == 2 && copies > 1) {
        papplJobSetImpressionsCompleted(job_, copies - 1);
      }
    } else {
      papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%.*s", static_cast<int>(line.size()), line.data());
    }
  }

  pappl_printer_t* printer_ = nullptr;
  pappl_job_t* job_ = nullptr;
  pappl_device_t* device_ = nullptr;
  bool asked_ = false, answered_ = false;
  pappl_preason_t added_ = PAPPL_PREASON_NONE, removed_ = PAPPL_PREASON_NONE;
  pid_t pid_ = -1;
  bool canceled_ = false;
  bool deviceFailed_ = false;  // written by the pump thread, read after join
  bool filterSaidWhy_ = false;  // the same
  Fd input_, backWrite_;
  std::thread pump_;
};

// What one raster job keeps between PAPPL's callbacks.
struct RasterJob {
  FilterProcess filter;
  cups_raster_t* raster = nullptr;
  bool failed = false;
  unsigned width = 0;   // pixels per row sent to the filter
  unsigned height = 0;  // rows sent to the filter
  std::vector<unsigned char> row;
  // libcups writes an uncompressed raster a row at a time; a page's rows
  // are gathered here and reach the filter whole, in one write. A cancel
  // then never leaves the filter a page cut short, which it would report as
  // damaged: it ends the page it has and starts no other.
  std::vector<unsigned char> pending;

  ~RasterJob() {
    if (raster != nullptr) cupsRasterClose(raster);
    flush();
  }

  // Writes what is gathered to the filter; false when the filter is gone.
  bool flush() {
    size_t done = 0;
    while (done < pending.size()) {
      const ssize_t put = write(filter.input(), pending.data() + done, pending.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    const bool whole = done == pending.size();
    pending.clear();
    return whole;
  }
};

// The raster stream's writer: gathers libcups' writes for the filter.
ssize_t gatherForFilter(void* context, unsigned char* bytes, size_t length) {
  auto& state = *static_cast<RasterJob*>(context);
  state.pending.insert(state.pending.end(), bytes, bytes + length);
  return static_cast<ssize_t>(length);
}

RasterJob* rasterJob(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

std::string ppdPath(const DriverInfo& driver) {
  return gPaths.ppdDirectory + "/tmk" + std::to_string(driver.ppdModel) + ".ppd";
}

const DriverInfo* jobDriver(pappl_job_t* job) {
  const DriverInfo* info = driverInfo(papplPrinterGetDriverName(papplJobGetPrinter(job)));
  if (info == nullptr) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer's driver is unknown.");
  return info;
}

// Dots of a length in hundredths of millimetres.
unsigned dots(int hundredths, unsigned resolution) {
  return hundredths > 0 ? static_cast<unsigned>(static_cast<uint64_t>(hundredths) * resolution / 2540) : 0;
}

}  // namespace

bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  if (driver == nullptr) return false;
  auto state = std::make_unique<RasterJob>();
  if (!state->filter.start(papplJobGetPrinter(job), job, device, ppdPath(*driver),
                           filterOptions(*driver, *options, job), nullptr)) {
    return false;
  }
  state->raster = cupsRasterOpenIO(gatherForFilter, state.get(), CUPS_RASTER_WRITE);
  papplJobSetData(job, state.release());
  return true;
}

bool startRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/, unsigned /*page*/) {
  RasterJob* state = rasterJob(job);
  if (state == nullptr || state->failed) return false;
  const cups_page_header2_t& in = options->header;
  // A page larger than the label is cut to the label, as the printer would.
  const unsigned labelWidth = dots(options->media.size_width, in.HWResolution[0]);
  const unsigned labelLength = dots(options->media.size_length, in.HWResolution[1]);
  state->width = labelWidth > 0 ? std::min(in.cupsWidth, labelWidth) : in.cupsWidth;
  state->height = labelLength > 0 ? std::min(in.cupsHeight, labelLength) : in.cupsHeight;

  cups_page_header2_t out{};
  out.HWResolution[0] = in.HWResolution[0];
  out.HWResolution[1] = in.HWResolution[1];
  out.PageSize[0] = static_cast<unsigned>(uint64_t{state->width} * 72 / std::max(in.HWResolution[0], 1u));
  out.PageSize[1] = static_cast<unsigned>(uint64_t{state->height} * 72 / std::max(in.HWResolution[1], 1u));
  out.NumCopies = 1;
  out.cupsWidth = state->width;
  out.cupsHeight = state->height;
  out.cupsBitsPerColor = 1;
  out.cupsBitsPerPixel = 1;
  out.cupsBytesPerLine = (state->width + 7) / 8;
  out.cupsColorOrder = CUPS_ORDER_CHUNKED;
  out.cupsColorSpace = CUPS_CSPACE_K;
  out.cupsNumColors = 1;
  state->row.assign(out.cupsBytesPerLine, 0);
  if (state->raster == nullptr || cupsRasterWriteHeader2(state->raster, &out) == 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the page to the filter.");
    state->failed = true;
    state->filter.cancel();
    return false;
  }
  return true;
}

bool writeRasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/, unsigned y,
                     const unsigned char* line) {
  RasterJob* state = rasterJob(job);
  if (state == nullptr || state->failed) return false;
  if (papplJobIsCanceled(job)) {
    state->filter.cancel();
    return false;
  }
  if (y >= state->height) return true;
  const cups_page_header2_t& in = options->header;
  std::fill(state->row.begin(), state->row.end(), 0);
  if (in.cupsBitsPerPixel == 1) {
    std::copy_n(line, state->row.size(), state->row.begin());
    if (state->width % 8 != 0) state->row.back() &= static_cast<unsigned char>(0xFF00 >> (state->width % 8));
  } else {
    // Gray is black below the middle; device black above it. Eight pixels
    // make a byte without a branch, so that the loop stays cheap.
    const unsigned char flip = in.cupsColorSpace != CUPS_CSPACE_K ? 0 : 1;
    const unsigned step = std::max(in.cupsBitsPerPixel / 8, 1u);
    for (unsigned x0 = 0; x0 < state->width; x0 += 8) {
      const unsigned count = std::min(8u, state->width - x0);
      unsigned bits = 0;
      for (unsigned i = 0; i < count; ++i) {
        const unsigned black = static_cast<unsigned>(line[size_t{x0 + i} * step] < 128) ^ flip;
        bits |= black << (7 - i);
      }
      state->row[x0 / 8] = static_cast<unsigned char>(bits);
    }
  }
  if (cupsRasterWritePixels(state->raster, state->row.data(), static_cast<unsigned>(state->row.size())) == 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the page to the filter.");
    state->failed = true;
    return false;
  }
  return true;
}

bool endRasterPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/,
                   unsigned /*page*/) {
  RasterJob* state = rasterJob(job);
  if (state == nullptr || state->failed) return false;
  // A page cut short by a cancel stays here.
  if (papplJobIsCanceled(job)) {
    state->filter.cancel();
    state->pending.clear();
    return true;
  }
  // The filter prints a page once it has all of it.
  if (!state->flush()) {
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
    state->pending.clear();
  }
  if (state->raster != nullptr) cupsRasterClose(state->raster);
  state->raster = nullptr;
  state->flush();
  const bool printed = state->filter.finish();
  return printed && !state->failed;
}

bool printRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  if (driver == nullptr) return false;
  FilterProcess filter;
  if (!filter.start(papplJobGetPrinter(job), job, device, ppdPath(*driver), filterOptions(*driver, *options, job),
                    papplJobGetFilename(job))) {
    return false;
  }
  return filter.finish();
}

bool queryPrinterStatus(pappl_printer_t* printer) {
  const DriverInfo* driver = driverInfo(papplPrinterGetDriverName(printer));
  const char* uri = papplPrinterGetDeviceURI(printer);
  // file: devices have no read side.
  if (driver == nullptr || uri == nullptr || startsWith(uri, "file:")) return false;
  // A printer busy with a job is asked another time.
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) return true;
  pappl_device_t* device = papplPrinterOpenDevice(printer);
  if (device == nullptr) return true;
  bool answered = false;
  {
    FilterProcess filter;
    if (filter.start(printer, nullptr, device, ppdPath(*driver), "StatusCheck=1 RunTrace=0_Off", "/dev/null")) {
      filter.finish();
      answered = filter.answered();
    }
  }
  papplPrinterCloseDevice(printer);
  return answered;
}
