#include "filter_process.h"

#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "line_splitter.h"
#include "server_settings.h"

extern char** environ;

bool FilterProcess::start(const Call& call) {
  watch_ = call.watch;
  auto input = makePipe(), output = makePipe(), errors = makePipe(), back = makePipe();
  int side[2];
  if (!input || !output || !errors || !back || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, side) != 0) {
    use_.report(true, std::string("Unable to create the filter's pipes: ") + std::strerror(errno));
    return false;
  }
  Fd sideOurs = high(side[0]), sideChild = high(side[1]);
  // No status byte is ever waiting on the back channel: the filter must
  // never block on it.
  fcntl(back->read.get(), F_SETFL, O_NONBLOCK);
  Fd nullInput;
  if (call.file != nullptr) nullInput = high(open("/dev/null", O_RDONLY | O_CLOEXEC));

  std::vector<std::string> args{"rastertoTmkLabel", std::to_string(call.jobId), call.user, call.title, "1",
                                call.options};
  if (call.file != nullptr) args.emplace_back(call.file);
  // The filter reads only PPD; the sanitizers' settings pass so that a
  // checked build checks the filter too.
  std::vector<std::string> env{"PPD=" + call.ppd};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (variable.starts_with("ASAN_OPTIONS=") || variable.starts_with("UBSAN_OPTIONS=") ||
        variable.starts_with("LSAN_OPTIONS=")) {
      env.emplace_back(*entry);
    }
  }
  const std::array<int, 5> fds{call.file != nullptr ? nullInput.get() : input->read.get(), output->write.get(),
                               errors->write.get(), back->read.get(), sideChild.get()};
  const int status = spawnProgram(gPaths.filter, std::move(args), std::move(env), fds, &pid_);
  if (status != 0) {
    use_.report(true, "Unable to start the filter " + gPaths.filter + ": " + std::strerror(status),
                std::string("Unable to start the filter: ") + std::strerror(status));
    pid_ = -1;
    return false;
  }
  use_.report(false, "Filter " + std::to_string(pid_) + ": PPD=" + call.ppd + " options '" + call.options + "'");
  if (call.file == nullptr) input_ = std::move(input->write);
  backWrite_ = std::move(back->write);
  try {
    pump_ = std::thread(&FilterProcess::pump, this, std::move(output->read), std::move(errors->read),
                        std::move(sideOurs));
  } catch (const std::system_error& error) {
    // No exception may leave a PAPPL callback; a filter whose output
    // nobody reads cannot run, so it goes.
    use_.report(true, std::string("Unable to start the filter's output thread: ") + error.what());
    kill(pid_, SIGKILL);
    reap(pid_, nullptr);
    pid_ = -1;
    return false;
  }
  return true;
}

void FilterProcess::cancel() {
  if (pid_ > 0 && !canceled_.exchange(true)) kill(pid_, SIGTERM);
}

void FilterProcess::answer(std::span<const unsigned char> bytes) {
  if (backWrite_.get() >= 0) (void)!write(backWrite_.get(), bytes.data(), bytes.size());
}

bool FilterProcess::finish() {
  if (pid_ <= 0) return false;
  input_.reset();
  if (pump_.joinable()) pump_.join();
  backWrite_.reset();
  const int status = reap(pid_, watch_);
  pid_ = -1;
  if (WIFSIGNALED(status)) {
    use_.report(true, "The filter was stopped by signal " + std::to_string(WTERMSIG(status)) + ".");
    return false;
  }
  if (WEXITSTATUS(status) != 0) {
    use_.report(true, "The filter failed with status " + std::to_string(WEXITSTATUS(status)) + ".");
    return false;
  }
  return true;
}

void FilterProcess::pump(Fd output, Fd errors, Fd side) {
  std::array<char, 64 * 1024> buffer;
  LineSplitter lines;
  const auto message = [this](std::string_view line) { use_.message(line); };
  bool delivering = true;
  while (output.get() >= 0 || errors.get() >= 0) {
    const FilterUse::Wait wait = use_.waitFor();
    std::array<pollfd, 4> fds{{{output.get(), POLLIN, 0},
                               {errors.get(), POLLIN, 0},
                               {side.get(), POLLIN, 0},
                               {wait.fd, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), wait.milliseconds) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      const ssize_t n = read(output.get(), buffer.data(), buffer.size());
      if (n > 0) {
        if (delivering) delivering = use_.deliver(std::span(buffer.data(), static_cast<size_t>(n)));
      } else if (n == 0 || errno != EINTR) {
        output.reset();
      }
    }
    if (wait.fd >= 0) use_.awake(fds[3].revents != 0);
    if (fds[1].revents != 0) {
      const ssize_t n = read(errors.get(), buffer.data(), buffer.size());
      if (n > 0) {
        lines.add(std::span(buffer.data(), static_cast<size_t>(n)), message);
      } else if (n == 0 || errno != EINTR) {
        lines.finish(message);
        errors.reset();
      }
    }
    if (fds[2].revents != 0) answerSideChannel(side);
  }
  use_.outputEnded();
}

// The filter's side-channel requests: only the drain, which the use
// answers by flushing what it holds.
void FilterProcess::answerSideChannel(Fd& side) {
  std::array<unsigned char, 4 + 64> request{};
  const ssize_t n = read(side.get(), request.data(), request.size());
  if (n < 4) {
    side.reset();
    return;
  }
  const auto command = static_cast<cups_sc_command_t>(request[0]);
  cups_sc_status_t status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
  if (command == CUPS_SC_CMD_DRAIN_OUTPUT) {
    use_.drain();
    status = CUPS_SC_STATUS_OK;
  }
  const std::array<unsigned char, 4> reply{request[0], static_cast<unsigned char>(status), 0, 0};
  if (write(side.get(), reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) side.reset();
}
