#include "support/filter_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void drain(int fd, std::string* sink) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    sink->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
}

bool overridden(const std::vector<ChildFd>& fds, int target) {
  for (const ChildFd& fd : fds) {
    if (fd.target == target) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> filterArgs(const std::string& options, std::optional<std::string> file) {
  std::vector<std::string> args{"1", "user", "title", "1", options};
  if (file) args.push_back(*file);
  return args;
}

FilterProcess::FilterProcess(const FilterRun& run, const std::string& program) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<ChildFd> fds = run.fds;
  if (!overridden(fds, 0)) fds.push_back({0, in[0]});
  if (!overridden(fds, 1)) fds.push_back({1, out[1]});
  if (!overridden(fds, 2)) fds.push_back({2, err[1]});

  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "PPD=", 4) != 0) envStrings.emplace_back(*e);
  }
  if (run.ppd) envStrings.push_back("PPD=" + *run.ppd);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  // TMK_FILTER_WRAPPER (e.g. a valgrind command line, words split at blanks)
  // goes before the filter's own command line.
  std::vector<std::string> argStrings;
  if (const char* wrapper = std::getenv("TMK_FILTER_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) argStrings.push_back(word);
  }
  argStrings.push_back(program);
  argStrings.insert(argStrings.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  std::vector<int> moved(fds.size(), -1);  // allocated before fork: the child must not allocate
  started_ = now();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Move every source out of the way first: a source may sit on a target.
    for (size_t i = 0; i < fds.size(); ++i) moved[i] = fds[i].source < 0 ? -1 : fcntl(fds[i].source, F_DUPFD, 500);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (moved[i] >= 0) dup2(moved[i], fds[i].target);
    }
    for (int fd = 0; fd < 1024; ++fd) {
      bool keep = false;
      for (size_t i = 0; i < fds.size(); ++i) keep = keep || (fds[i].target == fd && moved[i] >= 0);
      if (!keep) close(fd);
    }
    ::signal(SIGPIPE, SIG_DFL);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdinFd_ = in[1];
  outReader_ = std::thread(drain, out[0], &out_);
  errReader_ = std::thread(drain, err[0], &err_);
  ::signal(SIGPIPE, SIG_IGN);
  if (!run.input.empty()) write(run.input);
}

FilterProcess::~FilterProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    finish();
  }
}

void FilterProcess::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // the filter stopped reading; that is its business
    done += static_cast<size_t>(put);
  }
}

void FilterProcess::closeInput() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

namespace {

// The scheduling state of a process as /proc shows it: 'R', 'S' and so on.
char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
}

}  // namespace

void FilterProcess::waitUntilStarvedForInput() {
  const double deadline = now() + 20;
  while (now() < deadline) {
    int pending = 0;
    ioctl(stdinFd_, FIONREAD, &pending);
    if (pending == 0 && processState(pid_) == 'S') return;
    usleep(2000);
  }
  throw std::runtime_error("the filter never waited for input");
}

void FilterProcess::waitUntilAsleep() {
  const double deadline = now() + 20;
  int asleep = 0;
  while (now() < deadline) {
    asleep = processState(pid_) == 'S' ? asleep + 1 : 0;
    if (asleep == 25) return;
    usleep(2000);
  }
  throw std::runtime_error("the filter never slept");
}

void FilterProcess::signal(int signalNumber) { kill(pid_, signalNumber); }

FilterResult FilterProcess::finish() {
  closeInput();
  FilterResult result;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  result.seconds = now() - started_;
  result.out = std::move(out_);
  result.err = std::move(err_);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

FilterResult runFilter(const FilterRun& run, const std::string& program) {
  FilterProcess process(run, program);
  return process.finish();
}
