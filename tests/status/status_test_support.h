// What the status tests share: the scheduler's back and side channels as
// descriptors, and the report lines they expect.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/filter_process.h"

using std::string_literals::operator""s;

// The expected report lines, spelled out.
inline std::string statusTrace(const std::string& what) { return "TMK DEBUG MSG : The Printer status is " + what + ".\n"; }
inline std::string setLines(const std::string& what, const std::string& info, const std::string& reason) {
  return statusTrace(what) + "INFO: " + info + "\n" + "STATE: +" + reason + "\n";
}
inline std::string clearLines(const std::string& what, const std::string& reason) {
  return statusTrace(what) + "STATE: -" + reason + "\n";
}

// Model 143 and every other model outside the status group.
inline const std::string kOtherAllClear =
    clearLines("no out of ribbon", "ribbon-out") + clearLines("paper no jam", "media-jam") +
    clearLines("no TPH error", "TPH-overheat") + clearLines("cutter no jam", "cutter-jam") +
    clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty");
inline const std::string kOtherPaperJam =  // 0x08: the cutter's reason stays as it is
    clearLines("no out of ribbon", "ribbon-out") + setLines("paper jam", "Paper jam", "media-jam") +
    clearLines("no TPH error", "TPH-overheat") + statusTrace("cutter no jam") +
    clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty");
inline const std::string kOtherAllSet =
    setLines("out of ribbon", "out of ribbon", "ribbon-out") + setLines("paper jam", "Paper jam", "media-jam") +
    setLines("TPH error", "TPH error", "TPH-overheat") + setLines("cutter jam", "Cutter jam", "cutter-jam") +
    setLines("cover open", "Cover open", "cover-open") + setLines("out of paper", "Out of paper", "media-empty");

// Model 159, in the status group.
inline const std::string kGroupAllClear =
    clearLines("no board overheat", "board-overheat") + clearLines("no paper jam", "media-jam") +
    clearLines("no TPH error", "TPH-overheat") + clearLines("no motor overheat", "motor-overheat") +
    clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty");
inline const std::string kGroupPaperJam =
    clearLines("no board overheat", "board-overheat") + setLines("paper jam", "Paper jam", "media-jam") +
    clearLines("no TPH error", "TPH-overheat") + clearLines("no motor overheat", "motor-overheat") +
    clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty");
inline const std::string kGroupAllSet =
    setLines("board overheat", "board overheat", "board-overheat") + setLines("paper jam", "Paper jam", "media-jam") +
    setLines("TPH error", "TPH error", "TPH-overheat") + setLines("motor overheat", "motor overheat", "motor-overheat") +
    setLines("cover open", "Cover open", "cover-open") + setLines("out of paper", "Out of paper", "media-empty");

// An owned descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd();
  int get() const { return fd_; }
  int release();

 private:
  int fd_ = -1;
};

// What descriptor 3 is: the scheduler's non-blocking pipe, a plain pipe
// (both kept open by the writer), a pipe whose writer has gone, /dev/null as
// cupsfilter gives it, or nothing.
enum class BackChannel { NonBlockingPipe, BlockingPipe, PipeWithoutWriter, DevNull, Closed };

// The scheduler's ends of the back channel (holding `reply` from the start)
// and of the side channel, a socket pair.
class SchedulerChannels {
 public:
  SchedulerChannels(BackChannel kind, std::string_view reply);
  // Descriptors 3 and 4 for the filter.
  std::vector<ChildFd> childFds() const;
  // The printer's answer, sent now.
  void reply(std::string_view bytes) const;
  // What the filter has sent on the side channel so far.
  std::string sideChannelReceived() const;

 private:
  UniqueFd backRead_, backWrite_, sideFilter_, sideScheduler_;
};

// Puts the given descriptors in place in this process and restores the
// previous ones afterwards.
class ScopedDescriptors {
 public:
  explicit ScopedDescriptors(const std::vector<ChildFd>& fds);
  ~ScopedDescriptors();
  ScopedDescriptors(const ScopedDescriptors&) = delete;
  ScopedDescriptors& operator=(const ScopedDescriptors&) = delete;

 private:
  std::vector<std::pair<int, UniqueFd>> saved_;  // target, its former descriptor (-1: was closed)
};
