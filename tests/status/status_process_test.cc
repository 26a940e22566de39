// The status step through the filter process, with the back channel on
// descriptor 3 and the side channel on descriptor 4 given as the scheduler
// gives them, and as cupsfilter or a person at a shell may leave them.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "status/status_test_support.h"
#include "support/printer_fixture.h"

namespace {

using namespace std::chrono_literals;

const std::string kCheckOn = "TAMRISK DEBUG MSG : Printer Status Check On.\n";
const std::string kCheckOff = "TAMRISK DEBUG MSG : Printer Status Check Off.\n";
const std::string kRequest = "^cp\r";
// What libcups puts on the side channel for a drain request: command 2,
// status 0, no data.
const std::string kDrainRequest{"\x02\x00\x00\x00", 4};

TestPpd statusPpd(int model, const std::string& statusCheck = "1") {
  TestPpd ppd = fullTestPpd(model);
  for (PpdOption& option : ppd.options) {
    if (option.keyword == "StatusCheck") option.choices.push_back("2");
  }
  if (statusCheck.empty()) {
    removeOption(ppd, "StatusCheck");
  } else {
    setDefault(ppd, "StatusCheck", statusCheck);
  }
  return ppd;
}

// The lines the status step wrote: everything between the model check and
// the raster phase (or the end, for a text job).
std::string statusPart(const std::string& err, int model, bool raster = true) {
  const std::string modelLine = kTrace + "model number = " + std::to_string(model) + "\n";
  const size_t begin = err.find(modelLine);
  if (begin == std::string::npos) return "<no model number line>";
  const size_t end = err.find(kTrace + "lengthDot = ", begin);
  if (raster && end == std::string::npos) return "<no lengthDot line>";
  const size_t from = begin + modelLine.size();
  return err.substr(from, (raster ? end : err.size()) - from);
}

const std::string kOneLabel = makeRaster({patternPage(64, 8)});

// A filter that hangs is killed after a while, so that the test fails
// instead of hanging with it.
FilterResult runRasterJob(const PrinterFixture& printer, const SchedulerChannels& channels) {
  FilterRun run = printer.run("", kOneLabel);
  run.fds = channels.childFds();
  run.args.insert(run.args.begin(), {"--signal=KILL", "20", TMK_FILTER_PATH});
  FilterProcess filter(run, "/usr/bin/timeout");
  return filter.finish();
}

void expectJobPrinted(const FilterResult& r) {
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(endsWith(r.err, kReady)) << r.err;
}

struct ReplyCase {
  int model;
  std::string reply;
  std::string lines;
};

TEST(StatusProcess, ReplyIsReportedInMaskOrder) {
  const std::vector<ReplyCase> cases{
      {143, "\x00"s, kOtherAllClear},
      {143, "\x03", kOtherAllClear},  // the two low bits are not examined
      {143, "\x08", kOtherPaperJam},
      {143, "\x28",
       clearLines("no out of ribbon", "ribbon-out") + setLines("paper jam", "Paper jam", "media-jam") +
           clearLines("no TPH error", "TPH-overheat") + setLines("cutter jam", "Cutter jam", "cutter-jam") +
           clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty")},
      {143, "\xff", kOtherAllSet},
      {143, "\x08\xff", kOtherPaperJam},  // only the first byte counts
      {159, "\x00"s, kGroupAllClear},
      {159, "\x03", kGroupAllClear},
      {159, "\x08", kGroupPaperJam},
      {159, "\x28",
       clearLines("no board overheat", "board-overheat") + setLines("paper jam", "Paper jam", "media-jam") +
           clearLines("no TPH error", "TPH-overheat") + setLines("motor overheat", "motor overheat", "motor-overheat") +
           clearLines("no cover open", "cover-open") + clearLines("no out of paper", "media-empty")},
      {159, "\xff", kGroupAllSet},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE("model " + std::to_string(c.model) + ", reply byte " + std::to_string(uint8_t(c.reply[0])));
    PrinterFixture printer(statusPpd(c.model));
    const SchedulerChannels channels(BackChannel::NonBlockingPipe, c.reply);
    const FilterResult r = runRasterJob(printer, channels);
    EXPECT_EQ(statusPart(r.err, c.model), kCheckOn + c.lines);
    EXPECT_TRUE(r.out.starts_with(kRequest));
    EXPECT_EQ(channels.sideChannelReceived(), kDrainRequest);
    expectJobPrinted(r);
  }
}

// A person may hand the filter a plain pipe: a byte that is there must be
// read without hanging on the second one.
TEST(StatusProcess, OneByteOnABlockingPipeIsRead) {
  PrinterFixture printer(statusPpd(143));
  const SchedulerChannels channels(BackChannel::BlockingPipe, "\x08");
  const FilterResult r = runRasterJob(printer, channels);
  EXPECT_EQ(statusPart(r.err, 143), kCheckOn + kOtherPaperJam);
  EXPECT_LT(r.seconds, 2.0);
  expectJobPrinted(r);
}

TEST(StatusProcess, NoReplyEndsWithinTheBoundAndThePrintGoesOn) {
  struct NoReply {
    const char* name;
    BackChannel channel;
    bool waitsTheFullBound;
  };
  for (const NoReply& c : {NoReply{"empty non-blocking pipe", BackChannel::NonBlockingPipe, true},
                           NoReply{"empty blocking pipe", BackChannel::BlockingPipe, true},
                           NoReply{"pipe whose writer is gone", BackChannel::PipeWithoutWriter, false},
                           NoReply{"/dev/null", BackChannel::DevNull, false},
                           NoReply{"closed", BackChannel::Closed, false}}) {
    SCOPED_TRACE(c.name);
    PrinterFixture printer(statusPpd(143));
    const SchedulerChannels channels(c.channel, "");
    const FilterResult r = runRasterJob(printer, channels);
    ASSERT_NE(r.exitStatus, 128 + SIGKILL) << "the filter hung and was killed";
    EXPECT_LT(r.seconds, 6.0) << "the wait for the reply must be bounded";
    if (c.waitsTheFullBound) {
      EXPECT_GE(r.seconds, 2.9) << "a reply may take up to 3 seconds";
    }
    EXPECT_EQ(statusPart(r.err, 143), kCheckOn);
    EXPECT_TRUE(r.out.starts_with(kRequest));
    expectJobPrinted(r);
  }
}

// The backend answers once it has sent the request on, which takes a while.
TEST(StatusProcess, ReplyThatComesLateIsStillTaken) {
  PrinterFixture printer(statusPpd(159));
  const SchedulerChannels channels(BackChannel::NonBlockingPipe, "");
  FilterRun run = printer.run("", kOneLabel);
  run.fds = channels.childFds();
  FilterProcess filter(run);
  std::this_thread::sleep_for(1s);
  channels.reply("\x08");
  const FilterResult r = filter.finish();
  EXPECT_EQ(statusPart(r.err, 159), kCheckOn + kGroupPaperJam);
  expectJobPrinted(r);
}

// A cancel while the filter waits for the printer does not cut the wait
// short; it only keeps the pages from being printed.
TEST(StatusProcess, CancelDuringTheWaitKeepsWaitingForTheReply) {
  PrinterFixture printer(statusPpd(143));
  const SchedulerChannels channels(BackChannel::NonBlockingPipe, "");
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  FilterRun run = printer.run("", kOneLabel);
  run.fds = channels.childFds();
  run.fds.push_back({1, out[1]});
  FilterProcess filter(run);
  close(out[1]);
  std::string printed;
  pollfd request{out[0], POLLIN, 0};
  while (printed.size() < kRequest.size() && poll(&request, 1, 10000) == 1) {
    char byte = 0;
    if (read(out[0], &byte, 1) != 1) break;
    printed += byte;
  }
  ASSERT_EQ(printed, kRequest);
  std::this_thread::sleep_for(300ms);  // inside the wait by now
  filter.signal(SIGTERM);
  std::this_thread::sleep_for(300ms);
  channels.reply("\xff");
  const FilterResult r = filter.finish();
  close(out[0]);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(statusPart(r.err, 143), kCheckOn + kOtherAllSet);
  EXPECT_TRUE(endsWith(r.err, kNoPages)) << r.err;
}

TEST(StatusProcess, CheckOffClearsTheReasonsOfTheModelsLayout) {
  const std::string otherBlock =
      "STATE: -ribbon-out\nSTATE: -media-jam\nSTATE: -TPH-overheat\nSTATE: -cutter-jam\n" +
      statusTrace("no cover open") + "STATE: -cover-open\nSTATE: -media-empty\n";
  const std::string groupBlock =
      "STATE: -board-overheat\nSTATE: -media-jam\nSTATE: -TPH-overheat\nSTATE: -motor-overheat\n"
      "STATE: -cover-open\nSTATE: -media-empty\n";
  for (const int model : {143, 159}) {
    for (const std::string statusCheck : {"0", "", "2"}) {  // "": the PPD has no StatusCheck
      SCOPED_TRACE("model " + std::to_string(model) + ", StatusCheck \"" + statusCheck + "\"");
      PrinterFixture printer(statusPpd(model, statusCheck));
      const SchedulerChannels channels(BackChannel::NonBlockingPipe, "\xff");
      const FilterResult r = runRasterJob(printer, channels);
      EXPECT_EQ(statusPart(r.err, model), kCheckOff + (model == 159 ? groupBlock : otherBlock));
      EXPECT_EQ(r.out.find(kRequest), std::string::npos);
      EXPECT_EQ(channels.sideChannelReceived(), "");
      expectJobPrinted(r);
    }
  }
}

TEST(StatusProcess, RequestPrecedesTheTextPassThrough) {
  PrinterFixture printer(statusPpd(143));
  const SchedulerChannels channels(BackChannel::NonBlockingPipe, "\x00"s);
  FilterRun run = printer.runFile(printer.dir.write("commands.txt", "^XA\r\n"));
  run.fds = channels.childFds();
  const FilterResult r = runFilter(run);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, kRequest + "^XA\r\n\r\n");
  EXPECT_EQ(statusPart(r.err, 143, false), kCheckOn + kOtherAllClear);
}

}  // namespace
