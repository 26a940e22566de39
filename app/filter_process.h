// The filter as a child of the app, wired as the scheduler wires it: its
// input on standard input (or a file named on its command line), the label
// commands from standard output, its messages on standard error, descriptor
// 3 the back channel and 4 the side channel. What the output and messages
// mean is the business of its use: a job, or a status query.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "spawn.h"

// What a run of the filter is for. The output thread calls all but
// report(), which the thread that started the filter may call too.
class FilterUse {
 public:
  virtual ~FilterUse() = default;
  // The filter's output as it comes; false when it cannot be delivered, and
  // the rest is then read and dropped, so that the filter ends instead of
  // blocking.
  virtual bool deliver(std::span<const char> bytes) = 0;
  // One line of the filter's messages, without its newline.
  virtual void message(std::string_view line) = 0;
  // The filter's drain request: what was delivered is to reach the printer.
  virtual void drain() = 0;
  // A descriptor the output thread waits for besides the filter, and how
  // long it waits at most (milliseconds, -1 for ever); no descriptor for none.
  struct Wait {
    int fd = -1;
    int milliseconds = -1;
  };
  virtual Wait waitFor() { return {}; }
  // After each wait with a descriptor: whether it was ready.
  virtual void awake(bool /*ready*/) {}
  // The filter's output and messages have ended.
  virtual void outputEnded() {}
  // What went wrong with the run itself; `forClient`, when not empty, is
  // what a job's client is told instead of `text`.
  virtual void report(bool error, const std::string& text, const std::string& forClient = "") = 0;
};

class FilterProcess {
 public:
  explicit FilterProcess(FilterUse& use) : use_(use) {}
  ~FilterProcess() { finish(); }
  FilterProcess(const FilterProcess&) = delete;
  FilterProcess& operator=(const FilterProcess&) = delete;

  struct Call {
    std::string ppd;
    std::string options;
    const char* file = nullptr;  // its input, else standard input
    int jobId = 0;
    std::string user = "guest";
    std::string title;
    CancelWatch* watch = nullptr;  // that signals the filter, if any
  };
  // False, reported to the use, when it cannot be started.
  bool start(const Call& call);

  // Standard input's write end, open until finish(); -1 with a file.
  int input() const { return input_.get(); }
  pid_t pid() const { return pid_; }
  // Stops the filter: SIGTERM, once.
  void cancel();
  // The printer's answer on the back channel, and its end; from the output
  // thread.
  void answer(std::span<const unsigned char> bytes);
  void endAnswer() { backWrite_.reset(); }

  // Ends the input, waits for the output and the filter; true when the
  // filter succeeded. Once: later calls return false.
  bool finish();

 private:
  void pump(Fd output, Fd errors, Fd side);
  void answerSideChannel(Fd& side);

  FilterUse& use_;
  CancelWatch* watch_ = nullptr;
  pid_t pid_ = -1;
  std::atomic<bool> canceled_{false};  // the starting thread and the output thread cancel
  Fd input_, backWrite_;
  std::thread pump_;
};
