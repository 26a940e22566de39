// The synthetic job writer: a job that could not be written whole must not
// pass for one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/filter_process.h"

namespace {

TEST(TestRaster, WriteFailureIsReportedAndFailsTheRun) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  FilterRun run;
  run.args = {"noise", "64", "8"};
  run.fds = {{1, full}};
  const FilterResult r = runFilter(run, TMK_TEST_RASTER_PATH);
  close(full);
  EXPECT_EQ(r.err, "ERROR: cannot start the raster on standard output: No space left on device\n");
  EXPECT_EQ(r.exitStatus, 1);
}

}  // namespace
