// The status step called in this process, for the descriptor states the job
// flow itself never leaves behind.
#include "status/status.h"

#include <gtest/gtest.h>

#include <chrono>

#include "status/status_test_support.h"
#include "support/capture.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// libcups' own back-channel read would spin for ever on a closed descriptor.
TEST(PrinterStatus, ClosedChannelsMeanNoReply) {
  // Occupied first, so that the capture's own files do not land on them.
  const SchedulerChannels parked(BackChannel::DevNull, "");
  const ScopedDescriptors occupied(parked.childFds());
  const auto start = std::chrono::steady_clock::now();
  const Captured c = capture([] {
    const ScopedDescriptors closed({{3, -1}, {4, -1}});
    getPrinterStatus(143);
  });
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_EQ(c.out, "^cp\r");
  EXPECT_EQ(c.err, "");
}

}  // namespace
