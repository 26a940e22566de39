// Runs the built filter as CUPS would: a child process with the filter
// arguments, PPD in the environment, data on standard input and chosen
// descriptors 3 and 4; captures standard output, standard error and the exit
// status byte for byte.
#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// A descriptor for the child: `source` is duplicated onto `target`, or the
// target is left closed when `source` is -1.
struct ChildFd {
  int target;
  int source;
};

struct FilterRun {
  // argv[1..]; the default is the five CUPS arguments with no options.
  std::vector<std::string> args{"1", "user", "title", "1", ""};
  std::optional<std::string> ppd;  // value of PPD; unset when empty
  std::string input;               // written to standard input through a pipe
  std::vector<ChildFd> fds;        // overrides for descriptors 0 to 4 and beyond
};

struct FilterResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 when killed by a signal
  int termSignal = 0;
  double seconds = 0;
};

// The filter's argument list with the options string and, optionally, a file.
std::vector<std::string> filterArgs(const std::string& options, std::optional<std::string> file = std::nullopt);

class FilterProcess {
 public:
  explicit FilterProcess(const FilterRun& run, const std::string& program = TMK_FILTER_PATH);
  ~FilterProcess();
  FilterProcess(const FilterProcess&) = delete;
  FilterProcess& operator=(const FilterProcess&) = delete;

  void write(const std::string& bytes);  // to the child's standard input
  void closeInput();
  // Waits until the child has taken every byte written so far and sleeps,
  // i.e. it waits for more input.
  void waitUntilStarvedForInput();
  // Waits until the child has slept in a blocking call for a while, e.g. in
  // a write to a full pipe.
  void waitUntilAsleep();
  void signal(int signalNumber);
  FilterResult finish();

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::string out_, err_;
  std::thread outReader_, errReader_;
  double started_ = 0;
};

// Runs the filter, or another of our programs, to its end.
FilterResult runFilter(const FilterRun& run, const std::string& program = TMK_FILTER_PATH);
