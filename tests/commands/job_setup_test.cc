// The job-setup block: its commands in order, the rewinder group and the
// job-level cutter policy.
#include "commands/job_setup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/capture.h"

namespace {

const std::string kT = "TAMRISK Label Driver DEBUG MSG : ";

// Model 34 at 8 dots per mm with plain values: the block is SL406,24,G,
// SW832, STd, SD10, SM0,0, SS4, TA0 and the cut command.
settings_t plainSettings() {
  settings_t s{};
  s.modelNumber = 34;
  s.lengthDot = 406;
  s.widthDot = 832;
  s.darkness = 10;
  s.printSpeed = 4;
  s.numOfCopies = 1;
  return s;
}

const std::string kPlainBlock = "SL406,24,G\r\nSW832\r\nSTd\r\nSD10\r\nSM0,0\r\nSS4\r\nTA0\r\n";
const std::string kPlainTrace = kT + "setLength() : SL406,24,G,0\n" + kT + "setWidth() : SW832\n" + kT +
                                "setMediaType() : STd\n" + kT + "setDarkness() : SD10\n" + kT +
                                "setMargin() : SM0,0\n" + kT + "setSpeed() : SS4\n" + kT + "setToOffset() : TA0\n";

// What the primaryProcess cutter trace leaves on its (unfinished) line.
std::string policyTrace(int row, int cutPeriod) {
  return "TAMRISK Label Driver DEBUG MSG primaryProcess(" + std::to_string(row) +
         ") : settings.cutPeriod = " + std::to_string(cutPeriod);
}

std::string cutTrace(bool cut, int mode) {
  return kT + "setCutter() : " + (cut ? "CUTy" : "CUTn") + "\n" + kT + "cutterMode = " + std::to_string(mode) + "\n";
}

struct SetupRun {
  Captured captured;
  off_t flushedBytes = -1;  // what had reached standard output when primaryProcess returned
};

SetupRun runSetup(const settings_t& settings, float dot = 8.0f) {
  Dot = dot;
  SetupRun run;
  run.captured = capture([&] {
    primaryProcess(settings);
    struct stat info {};
    fstat(1, &info);
    run.flushedBytes = info.st_size;
  });
  return run;
}

TEST(JobSetup, PlainBlockIsWrittenInOrderAndFlushed) {
  const SetupRun run = runSetup(plainSettings());
  EXPECT_EQ(run.captured.out, kPlainBlock + "CUTn\r\n");
  EXPECT_EQ(run.captured.err, kPlainTrace + policyTrace(3, 0) + cutTrace(false, 0));
  EXPECT_EQ(run.flushedBytes, static_cast<off_t>(run.captured.out.size()));
}

TEST(JobSetup, RewinderModelWithSaAndCutEveryPeriod) {
  settings_t s{};
  s.modelNumber = 292;
  s.sensorType = 2;
  s.lengthDot = 480;
  s.bmOffset = 2;
  s.widthDot = 640;
  s.mediaType = 1;
  s.darkness = 12;
  s.xMargin = 1;
  s.printSpeed = 5;
  s.rewinder = 1;
  s.cutter = 1;
  s.numOfCopies = 3;
  s.cutPeriod = 2;
  const SetupRun run = runSetup(s);
  EXPECT_EQ(run.captured.out, "SL480,24,B\r\nSA16\r\nSW640\r\nSTt\r\nSD12\r\nSM8,0\r\nSS5\r\nTA0\r\nRWDy\r\nCUTy,2\r\n");
  EXPECT_EQ(run.captured.err, kT + "setLength() : SL480,24,B,16\n" + kT + "setLength() : SA16\n" + kT +
                                  "setWidth() : SW640\n" + kT + "setMediaType() : STt\n" + kT +
                                  "setDarkness() : SD12\n" + kT + "setMargin() : SM8,0\n" + kT +
                                  "setSpeed() : SS5\n" + kT + "setToOffset() : TA0\n" + kT +
                                  "setRewinder() : RWDy\n" + policyTrace(1, 2) + cutTrace(true, 1));
}

TEST(JobSetup, RewinderCommandOnlyForTheRewinderGroup) {
  struct Case {
    int32_t model, rewinder;
    std::string command;
  };
  for (const Case& c : {Case{142, 1, "RWDy\r\n"}, Case{143, 0, "RWDn\r\n"}, Case{150, -1, "RWDn\r\n"},
                        Case{293, 2, "RWDn\r\n"}, Case{144, 1, ""}, Case{38, 1, ""}, Case{34, 1, ""}}) {
    settings_t s = plainSettings();
    s.modelNumber = c.model;
    s.rewinder = c.rewinder;
    const std::string out = runSetup(s).captured.out;
    EXPECT_TRUE(out.ends_with("TA0\r\n" + c.command + "CUTn\r\n")) << c.model << ": " << out;
  }
}

TEST(JobSetup, NoMediaCommandForOtherMediaTypes) {
  settings_t s = plainSettings();
  s.mediaType = 2;
  const SetupRun run = runSetup(s);
  EXPECT_EQ(run.captured.out, "SL406,24,G\r\nSW832\r\nSD10\r\nSM0,0\r\nSS4\r\nTA0\r\nCUTn\r\n");
  EXPECT_EQ(run.captured.err.find("setMediaType"), std::string::npos);
}

TEST(JobSetup, CutterPolicy) {
  struct Case {
    int32_t cutter, copies, period;
    std::string out, err;
  };
  const Case cases[] = {
      {0, 5, 2, "CUTn\r\n", policyTrace(3, 2) + cutTrace(false, 0)},
      {0, -1, -1, "CUTn\r\n", policyTrace(3, -1) + cutTrace(false, 0)},
      {1, 3, 2, "CUTy,2\r\n", policyTrace(1, 2) + cutTrace(true, 1)},
      {1, 2, 0, "CUTy,0\r\n", policyTrace(1, 0) + cutTrace(true, 1)},
      {1, 2, -1, "CUTy,-1\r\n", policyTrace(1, -1) + cutTrace(true, 1)},
      {-1, 2, 4, "CUTy,4\r\n", policyTrace(1, 4) + cutTrace(true, -1)},
      {1, 1, 1, "CUTy,1\r\n", policyTrace(2, 1) + cutTrace(true, 1)},
      {1, -1, 1, "CUTy,1\r\n", policyTrace(2, 1) + cutTrace(true, 1)},
      {-1, 0, 1, "CUTy,1\r\n", policyTrace(2, 1) + cutTrace(true, -1)},
      {1, 1, 3, "CUTn\r\n", cutTrace(false, 0)},
      {1, 0, -1, "CUTn\r\n", cutTrace(false, 0)},
  };
  for (const Case& c : cases) {
    settings_t s = plainSettings();
    s.cutter = c.cutter;
    s.numOfCopies = c.copies;
    s.cutPeriod = c.period;
    const SetupRun run = runSetup(s);
    const std::string at = std::to_string(c.cutter) + "/" + std::to_string(c.copies) + "/" + std::to_string(c.period);
    EXPECT_EQ(run.captured.out, kPlainBlock + c.out) << at;
    EXPECT_EQ(run.captured.err, kPlainTrace + c.err) << at;
  }
}

}  // namespace
