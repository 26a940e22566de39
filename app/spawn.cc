#include "spawn.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

rlim_t gStartFileSize = RLIM_INFINITY;

bool writeAll(int fd, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return true;
}

namespace {

// A limit as the child sets it, its soft and hard value alike.
constexpr int kChildNice = 10;

struct Limit {
  int resource;
  rlimit value;
};

// The children not yet reaped that lead a process group, or that stay in
// the app's (the filter), for endChildren(). Never destroyed: job threads
// may reap while the app exits.
struct Children {
  std::mutex mutex;
  std::vector<std::pair<pid_t, bool>> processes;  // with mutex held; true: leads a group
  bool ended = false;
};
Children& children() {
  static auto* const all = new Children;
  return *all;
}

// The child, between vfork and exec: it runs in the app's memory, on the
// stack of the thread that waits for it, where only async-signal-safe calls
// may be made and nothing of the app's may change. Returns only when
// something failed, with errno set.
void becomeProgram(const char* program, char* const* argv, char* const* envp, std::span<const int> fds, pid_t group,
                   std::span<const Limit> limits, int report, pid_t app) {
  // Ends when the thread that waits for it does, however the app ends; an
  // app that ended before this left the child to another parent. (prctl is
  // a bare system call, like the rest.)
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;
  if (getppid() != app) {
    errno = ESRCH;
    return;
  }
  for (size_t target = 0; target < fds.size(); ++target) {
    if (dup2(fds[target], static_cast<int>(target)) < 0) return;
  }
  // Nothing else: PAPPL opens some descriptors without close-on-exec (the
  // SNMP socket of a socket:// device), which a child would hold. The report
  // pipe closes itself at the exec.
  const auto first = static_cast<unsigned>(fds.size());
  if (static_cast<unsigned>(report) > first) close_range(first, static_cast<unsigned>(report) - 1, 0);
  close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
  // Default handling for every signal, whatever the app and PAPPL set (the
  // app ignores SIGPIPE and SIGXFSZ): SIGTERM must cancel the child.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &defaults, nullptr);
  }
  if (group >= 0 && setpgid(0, group) != 0) return;
  // Below the app's own threads, so that the app answers its clients while
  // many jobs print; alone, a job's processes still get the whole machine.
  setpriority(PRIO_PROCESS, 0, kChildNice);
  for (const Limit& limit : limits) {
    if (setrlimit(limit.resource, &limit.value) != 0) return;
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(program, argv, envp);
}

// The child's whole life: its variables live in a frame of its own, below
// the one of the waiting thread that it shares the stack with.
[[noreturn]] __attribute__((noinline)) void runChild(const char* program, char* const* argv, char* const* envp,
                                                     std::span<const int> fds, pid_t group,
                                                     std::span<const Limit> limits, int report, pid_t app) {
  becomeProgram(program, argv, envp, fds, group, limits, report, app);
  const int error = errno;
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

// vfork in a frame of its own, which the child leaves only by its exec or
// _exit: no variable of spawnProgram's lives across the vfork, where the
// compiler could keep it in a register that the child clobbers.
__attribute__((noinline)) pid_t startChild(const char* program, char* const* argv, char* const* envp,
                                           std::span<const int> fds, pid_t group, std::span<const Limit> limits,
                                           int report, pid_t app) {
  const pid_t child = vfork();
  if (child == 0) runChild(program, argv, envp, fds, group, limits, report, app);
  return child;
}

}  // namespace

// posix_spawn cannot set resource limits, so a child started with vfork sets
// its own before the exec; a pipe that the exec closes tells whether it
// started. Not fork: it copies the page tables of an app of a hundred
// threads, while every other thread's page faults and memory allocations
// wait (a fork took 13 ms, and up to 300 ms, as 50 printers took jobs).
int spawnProgram(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
                 std::span<const int> fds, pid_t* pid, pid_t group, const ChildLimits& limits) {
  // All that the child needs is made before the fork.
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  // A child never gets more than the app may have; the app's own file size
  // limit is its document limit (limits.cc), and a child gets the one the
  // app started with unless it has one of its own.
  std::vector<Limit> set;
  const auto limit = [&set](int resource, rlim_t soft, rlim_t hard) {
    rlimit now{};
    if (getrlimit(resource, &now) != 0) return false;
    set.push_back({resource, {std::min(soft, now.rlim_max), std::min(hard, now.rlim_max)}});
    return true;
  };
  if (!limit(RLIMIT_FSIZE, limits.fileSize != 0 ? limits.fileSize : gStartFileSize, RLIM_INFINITY)) return errno;
  // SIGXCPU at the limit, SIGKILL a little later for one that catches it; no
  // core file of a renderer stopped so.
  if (limits.cpuSeconds != 0 && (!limit(RLIMIT_CPU, limits.cpuSeconds, limits.cpuSeconds + 5) ||
                                  !limit(RLIMIT_CORE, 0, 0))) {
    return errno;
  }
  if (limits.addressSpace != 0 && !limit(RLIMIT_AS, limits.addressSpace, limits.addressSpace)) return errno;
  auto report = makePipe();
  if (!report) return errno;

  // No handler of the app's may run in the child before its exec.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const pid_t app = getpid();
  const pid_t child = startChild(program.c_str(), argv.data(), envp.data(), fds, group, set, report->write.get(), app);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (child < 0) return forkError;
  report->write.reset();
  int error = 0;
  ssize_t got;
  while ((got = read(report->read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (got == sizeof error) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error;
  }
  *pid = child;
  // A member of a group goes with its leader.
  if (group <= 0) {
    Children& known = children();
    std::lock_guard lock(known.mutex);
    if (known.ended) kill(group == 0 ? -child : child, SIGKILL);
    known.processes.emplace_back(child, group == 0);
  }
  return 0;
}

void endChildren() {
  Children& known = children();
  std::lock_guard lock(known.mutex);
  known.ended = true;
  for (const auto& [pid, leads] : known.processes) kill(leads ? -pid : pid, SIGKILL);
}

CancelWatch::CancelWatch(std::function<bool()> canceled, std::chrono::seconds delay)
    : canceled_(std::move(canceled)), delay_(delay) {}

CancelWatch::~CancelWatch() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool CancelWatch::start() {
  try {
    thread_ = std::thread(&CancelWatch::run, this);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void CancelWatch::watch(pid_t pid, bool group) {
  std::lock_guard lock(mutex_);
  processes_.emplace_back(pid, group);
  // One that starts after the cancel gets what the others got.
  if (terminated_) kill(group ? -pid : pid, killed_ ? SIGKILL : SIGTERM);
}

void CancelWatch::forget(pid_t pid) {
  std::lock_guard lock(mutex_);
  std::erase_if(processes_, [pid](const auto& process) { return process.first == pid; });
}

void CancelWatch::onDeadline(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  atDeadline_ = std::move(action);
}

void CancelWatch::signalAll(int signal) {
  for (const auto& [pid, group] : processes_) kill(group ? -pid : pid, signal);
}

void CancelWatch::run() {
  // A cancel is seen within a tenth of a second, as the job's own loops see
  // it.
  constexpr auto kTick = std::chrono::milliseconds(100);
  std::chrono::steady_clock::time_point deadline;
  std::unique_lock lock(mutex_);
  while (!ending_ && !killed_) {
    wake_.wait_for(lock, kTick);
    if (ending_) break;
    if (!terminated_) {
      lock.unlock();
      const bool canceled = canceled_();
      lock.lock();
      if (!canceled) continue;
      terminated_ = true;
      deadline = std::chrono::steady_clock::now() + delay_;
      signalAll(SIGTERM);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      killed_ = true;
      signalAll(SIGKILL);
      if (atDeadline_) atDeadline_();
    }
  }
}

int reap(pid_t pid, CancelWatch* watch, rusage* usage) {
  // Waited for without reaping, so that the watch may signal it meanwhile.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  if (watch != nullptr) watch->forget(pid);
  {
    Children& known = children();
    std::lock_guard lock(known.mutex);
    std::erase_if(known.processes, [pid](const auto& process) { return process.first == pid; });
  }
  int status = 0;
  while (wait4(pid, &status, 0, usage) < 0 && errno == EINTR) {
  }
  return status;
}
