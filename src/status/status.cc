#include "status/status.h"

#include <cups/sidechannel.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>

#include "commands/output.h"
#include "settings/models.h"

namespace {

using std::string_view_literals::operator""sv;

// The printer answers on the scheduler's back channel.
constexpr int kBackChannelFd = 3;
constexpr auto kStatusRequest = "^cp\r"sv;
constexpr std::chrono::milliseconds kReplyTimeout{3000};

// One error condition of the status byte and the lines that report it.
struct StatusCondition {
  uint8_t mask;
  std::array<std::string_view, 3> setLines;    // trace, state message, reason added
  std::array<std::string_view, 2> clearLines;  // trace, reason removed
  // While this other bit is set, a clear condition still gets its trace
  // line but its reason is left as it is.
  uint8_t keepReasonWhileSet = 0;
};

struct StatusLayout {
  std::array<StatusCondition, 6> conditions;  // in mask order
  std::span<const std::string_view> clearedBlock;
};

constexpr StatusCondition kPaperJam{0x08,
                                    {"TMK DEBUG MSG : The Printer status is paper jam.\n", "INFO: Paper jam\n",
                                     "STATE: +media-jam\n"},
                                    {"", "STATE: -media-jam\n"}};
constexpr StatusCondition kTphError{0x10,
                                    {"TMK DEBUG MSG : The Printer status is TPH error.\n", "INFO: TPH error\n",
                                     "STATE: +TPH-overheat\n"},
                                    {"TMK DEBUG MSG : The Printer status is no TPH error.\n", "STATE: -TPH-overheat\n"}};
constexpr StatusCondition kCoverOpen{0x40,
                                     {"TMK DEBUG MSG : The Printer status is cover open.\n", "INFO: Cover open\n",
                                      "STATE: +cover-open\n"},
                                     {"TMK DEBUG MSG : The Printer status is no cover open.\n", "STATE: -cover-open\n"}};
constexpr StatusCondition kOutOfPaper{0x80,
                                      {"TMK DEBUG MSG : The Printer status is out of paper.\n", "INFO: Out of paper\n",
                                       "STATE: +media-empty\n"},
                                      {"TMK DEBUG MSG : The Printer status is no out of paper.\n",
                                       "STATE: -media-empty\n"}};

// The two layouts word the cleared paper jam differently.
constexpr StatusCondition withClearTrace(StatusCondition condition, std::string_view trace) {
  condition.clearLines[0] = trace;
  return condition;
}

constexpr std::array<std::string_view, 7> kOtherClearedBlock{
    "STATE: -ribbon-out\n", "STATE: -media-jam\n",  "STATE: -TPH-overheat\n", "STATE: -cutter-jam\n",
    "TMK DEBUG MSG : The Printer status is no cover open.\n", "STATE: -cover-open\n", "STATE: -media-empty\n"};

constexpr StatusLayout kOtherLayout{
    {{
        {0x04,
         {"TMK DEBUG MSG : The Printer status is out of ribbon.\n", "INFO: out of ribbon\n", "STATE: +ribbon-out\n"},
         {"TMK DEBUG MSG : The Printer status is no out of ribbon.\n", "STATE: -ribbon-out\n"}},
        withClearTrace(kPaperJam, "TMK DEBUG MSG : The Printer status is paper no jam.\n"),
        kTphError,
        {0x20,
         {"TMK DEBUG MSG : The Printer status is cutter jam.\n", "INFO: Cutter jam\n", "STATE: +cutter-jam\n"},
         {"TMK DEBUG MSG : The Printer status is cutter no jam.\n", "STATE: -cutter-jam\n"},
         kPaperJam.mask},
        kCoverOpen,
        kOutOfPaper,
    }},
    kOtherClearedBlock};

constexpr std::array<std::string_view, 6> kStatusGroupClearedBlock{
    "STATE: -board-overheat\n", "STATE: -media-jam\n", "STATE: -TPH-overheat\n",
    "STATE: -motor-overheat\n", "STATE: -cover-open\n", "STATE: -media-empty\n"};

constexpr StatusLayout kStatusGroupLayout{
    {{
        {0x04,
         {"TMK DEBUG MSG : The Printer status is board overheat.\n", "INFO: board overheat\n",
          "STATE: +board-overheat\n"},
         {"TMK DEBUG MSG : The Printer status is no board overheat.\n", "STATE: -board-overheat\n"}},
        withClearTrace(kPaperJam, "TMK DEBUG MSG : The Printer status is no paper jam.\n"),
        kTphError,
        {0x20,
         {"TMK DEBUG MSG : The Printer status is motor overheat.\n", "INFO: motor overheat\n",
          "STATE: +motor-overheat\n"},
         {"TMK DEBUG MSG : The Printer status is no motor overheat.\n", "STATE: -motor-overheat\n"}},
        kCoverOpen,
        kOutOfPaper,
    }},
    kStatusGroupClearedBlock};

const StatusLayout& layoutFor(int32_t modelNumber) {
  return isStatusGroupModel(modelNumber) ? kStatusGroupLayout : kOtherLayout;
}

// The scheduler acts on each message line as it reads it, so a line must
// arrive whole: one write each, after whatever trace is still buffered.
void writeLines(std::span<const std::string_view> lines) {
  std::fflush(stderr);
  for (const std::string_view line : lines) {
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t put = write(STDERR_FILENO, line.data() + done, line.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return;  // a lost message line must not stop the job
      done += static_cast<size_t>(put);
    }
  }
}

void reportStatus(const StatusLayout& layout, uint8_t status) {
  for (const StatusCondition& condition : layout.conditions) {
    if ((status & condition.mask) != 0) {
      writeLines(condition.setLines);
    } else if (condition.keepReasonWhileSet != 0 && (status & condition.keepReasonWhileSet) != 0) {
      writeLines(std::span(condition.clearLines).first(1));
    } else {
      writeLines(condition.clearLines);
    }
  }
}

// Waits at most `timeout` for the printer's reply on the back channel and
// reads up to `reply.size()` bytes of it. Returns the byte count, 0 when no
// reply came, -1 on an error. libcups' own back-channel read cannot be used:
// it waits without bound on a blocking pipe and spins on a closed descriptor,
// and the filter is also run by hand or by cupsfilter, which give it either.
ssize_t readBackChannel(std::span<unsigned char> reply, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  pollfd channel{kBackChannelFd, POLLIN, 0};
  for (;;) {
    const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                               std::chrono::milliseconds{0});
    const int ready = poll(&channel, 1, static_cast<int>(left.count()));
    if (ready > 0) break;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;  // a signal (a cancel) does not cut the wait short
  }
  if ((channel.revents & (POLLNVAL | POLLERR)) != 0) return -1;
  if ((channel.revents & (POLLIN | POLLHUP)) == 0) return 0;
  // The other filters of the job hold the same back channel: should one of
  // them take the reply after the poll, a read of an empty blocking pipe
  // would wait for ever.
  int pending = 0;
  if (ioctl(kBackChannelFd, FIONREAD, &pending) == 0 && pending <= 0) return 0;
  for (;;) {
    const ssize_t got = read(kBackChannelFd, reply.data(), reply.size());
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

void getPrinterStatus(int32_t modelNumber) {
  writeOutput(kStatusRequest.data(), kStatusRequest.size());
  flushOutput();

  // Asks the backend to push the request out to the printer; with no
  // timeout this does not wait for the backend's answer.
  std::array<char, 64> data{};
  int length = static_cast<int>(data.size());
  cupsSideChannelDoRequest(CUPS_SC_CMD_DRAIN_OUTPUT, data.data(), &length, 0.0);

  std::array<unsigned char, 2> reply{};
  if (readBackChannel(reply, kReplyTimeout) <= 0) return;
  reportStatus(layoutFor(modelNumber), reply[0]);
}

void clearPrinterStatus(int32_t modelNumber) { writeLines(layoutFor(modelNumber).clearedBlock); }
