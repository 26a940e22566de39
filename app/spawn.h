// The descriptors and child processes of a job: the filter, and the
// prefilters that render a PDF for it.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Moves a descriptor above the child's 0 to 4, so that no dup2 in the child
// overwrites another of its sources; keeps it close-on-exec.
inline Fd high(int fd) {
  if (fd < 0 || fd > 4) return Fd(fd);
  Fd moved(fcntl(fd, F_DUPFD_CLOEXEC, 10));
  close(fd);
  return moved;
}

struct Pipe {
  Fd read, write;
};

inline std::optional<Pipe> makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{high(fds[0]), high(fds[1])};
}

// Writes all of `bytes` to `fd`; false when it takes them not all.
bool writeAll(int fd, std::span<const unsigned char> bytes);

// What a child may use, each limit 0 for none; a child also gets the file
// size limit the app started with (`gStartFileSize`), not the app's own.
struct ChildLimits {
  rlim_t cpuSeconds = 0;
  rlim_t addressSpace = 0;  // bytes
  rlim_t fileSize = 0;      // bytes
};
extern rlim_t gStartFileSize;

// Starts `program` with `args` (its name first) and `env`, the descriptors
// `fds` becoming its 0, 1, 2 and on; 0 or errno's value. A `group` of 0
// makes the child lead a process group of its own, a positive one puts it
// in that group, so that one signal stops it and whatever it starts. The
// child gets SIGKILL when the calling thread ends, the app killed too, so
// that thread must reap it (reap()).
int spawnProgram(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
                 std::span<const int> fds, pid_t* pid, pid_t group = -1, const ChildLimits& limits = {});

// At the app's end: SIGKILL to every child not yet reaped and the process
// group it leads (what a prefilter started, which its parent's death does
// not end), and to each child started from then on.
void endChildren();

// Ends a canceled job's processes: they get SIGTERM as soon as `canceled`
// says so, and SIGKILL once `delay` has passed since, when the action set by
// onDeadline() runs too (for what else may hold the job, such as a printer
// that has stopped reading).
class CancelWatch {
 public:
  CancelWatch(std::function<bool()> canceled, std::chrono::seconds delay);
  ~CancelWatch();
  CancelWatch(const CancelWatch&) = delete;
  CancelWatch& operator=(const CancelWatch&) = delete;

  // Starts watching; false when no thread could be made for it.
  bool start();
  // A process to signal, or the process group it leads. It must be
  // forgotten before it is reaped: its number may then go to another.
  void watch(pid_t pid, bool group);
  void forget(pid_t pid);
  // Sets the action for the deadline, or clears it; once this returns, the
  // one it replaces has ended and will not run.
  void onDeadline(std::function<void()> action);

 private:
  void run();
  void signalAll(int signal);  // with mutex_ held

  std::function<bool()> canceled_;
  std::chrono::seconds delay_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_:
  std::function<void()> atDeadline_;
  std::vector<std::pair<pid_t, bool>> processes_;
  bool ending_ = false, terminated_ = false, killed_ = false;
  std::thread thread_;
};

// Waits for a child of spawnProgram() and reaps it, forgotten by `watch`
// (when given) and endChildren() first; its wait status, its use of
// resources in `usage` when given.
int reap(pid_t pid, CancelWatch* watch, rusage* usage = nullptr);
