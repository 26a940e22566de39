#include "spawn.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

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
struct Limit {
  int resource;
  rlimit value;
};

// The child, between fork and exec: a copy of one thread of a threaded
// process, where only async-signal-safe calls may be made. Returns only when
// something failed, with errno set.
void becomeProgram(const char* program, char* const* argv, char* const* envp, std::span<const int> fds, pid_t group,
                   std::span<const Limit> limits, int report) {
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
  for (const Limit& limit : limits) {
    if (setrlimit(limit.resource, &limit.value) != 0) return;
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(program, argv, envp);
}

}  // namespace

// posix_spawn cannot set resource limits, so a child is forked and sets its
// own before the exec; a pipe that the exec closes tells whether it started.
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
  const pid_t child = fork();
  if (child == 0) {
    becomeProgram(program.c_str(), argv.data(), envp.data(), fds, group, set, report->write.get());
    const int error = errno;
    (void)!write(report->write.get(), &error, sizeof error);
    _exit(127);
  }
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
  return 0;
}
