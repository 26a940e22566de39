// The job flow through the filter process: arguments, input, settings,
// model check, page loop, cancellation and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <regex>

#include "support/printer_fixture.h"

namespace {

size_t countOf(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

// The usage goes through perror: the system's text for whatever error number
// is current follows it.
const std::regex kUsage(std::regex_replace(kBanner, std::regex("[.]"), "\\.") + kTrace + "rastertoTmkLabel_v" +
                        std::regex_replace(TMK_VERSION, std::regex("[.]"), "\\.") +
                        "job-id user title copies options \\[file\\]\n: [^\n]+\n");

TEST(JobFlow, WrongArgumentCountGivesTheUsageOnly) {
  PrinterFixture printer;
  for (std::vector<std::string> args : {std::vector<std::string>{"1", "user", "title", "1"},
                                        std::vector<std::string>{"1", "user", "title", "1", "", "f", "extra"}}) {
    FilterRun run = printer.run();
    run.args = args;
    const FilterResult r = runFilter(run);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::regex_match(r.err, kUsage)) << r.err;
  }
}

TEST(JobFlow, MissingInputFileFailsAfterAPause) {
  PrinterFixture printer;
  const FilterResult r = runFilter(printer.runFile(printer.dir.path() + "/missing.ras"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kBanner + kTrace + "Unable to open raster file - : No such file or directory\n" +
                       "ERROR: Unable to open the print file \"" + printer.dir.path() +
                       "/missing.ras\": No such file or directory\n");
  EXPECT_GE(r.seconds, 1.0);
}

TEST(JobFlow, UnsupportedModelEndsTheJob) {
  PrinterFixture printer(fullTestPpd(146));
  const FilterResult r = runFilter(printer.run("", makeRaster({patternPage(64, 8)})));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(endsWith(r.err, "===================================================\n" + kTrace +
                                  "model number = 146\n" + kTrace + "This printer is not supported.\n" + kTrace +
                                  "jobSetup() fail.\n" +
                                  "ERROR: This printer model (146) is not supported by rastertoTmkLabel; nothing was "
                                  "printed.\n"))
      << r.err;
}

TEST(JobFlow, UnreadablePpdFailsWithAReason) {
  PrinterFixture printer;
  FilterRun run = printer.run("", makeRaster({patternPage(64, 8)}));
  run.ppd = printer.dir.path() + "/gone.ppd";
  FilterResult r = runFilter(run);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kBanner + "ERROR: Unable to open the PPD file \"" + *run.ppd + "\": No such file or directory\n" +
                       kTrace + "This printer is not supported.\n" + kNoPages);

  run.ppd.reset();
  r = runFilter(run);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, kBanner + "ERROR: No PPD file: the PPD environment variable is not set.\n" + kTrace +
                       "This printer is not supported.\n" + kNoPages);
}

TEST(JobFlow, RasterJobRunsThePhasesInOrder) {
  PrinterFixture printer;
  const FilterResult r = runFilter(printer.run("", makeRaster({patternPage(64, 8), patternPage(64, 300, 2)})));
  EXPECT_EQ(r.exitStatus, 0);
  const std::vector<std::string> order{kBanner, "===================================================\n",
                                       kTrace + "model number = 34\n", "TAMRISK DEBUG MSG : Printer Status Check Off.\n",
                                       kTrace + "lengthDot = ", kTrace + "Not Tamrisk Msq API Mode!!!\n", kReady};
  size_t at = 0;
  for (const std::string& step : order) {
    const size_t found = r.err.find(step, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << r.err;
    at = found + step.size();
  }
  EXPECT_TRUE(endsWith(r.err, kReady));
}

TEST(JobFlow, RasterWithoutPagesFails) {
  PrinterFixture printer;
  const FilterResult r = runFilter(printer.run("", makeRaster({})));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, kTrace + "Not Tamrisk Msq API Mode!!!\n" + kNoPages)) << r.err;
}

TEST(JobFlow, InputThatIsNotRasterFails) {
  PrinterFixture printer;
  for (const std::string& input : {std::string(), std::string("%!PS-Adobe-3.0\n")}) {
    const FilterResult r = runFilter(printer.run("", input));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(endsWith(r.err, "ERROR: The job holds no CUPS raster data; nothing was printed.\n" + kNoPages))
        << r.err;
  }
}

TEST(JobFlow, RasterCutOffInsideAPageFailsTheJob) {
  PrinterFixture printer;
  const std::string raster = makeRaster({patternPage(64, 8), patternPage(64, 100, 2)});
  const FilterResult r = runFilter(printer.run("", raster.substr(0, raster.size() - 50)));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  EXPECT_TRUE(endsWith(r.err, kReady)) << r.err;
}

// The test holds the raster pipe: page 2 is half sent when SIGTERM comes, so
// the filter is inside page 2. Page 3 is sent cut short: had the filter
// started it, the job would fail.
TEST(JobFlow, CancelFinishesTheCurrentPageAndStartsNoOther) {
  PrinterFixture printer;
  const std::string twoPages = makeRaster({patternPage(64, 40, 1), patternPage(64, 40, 2)});
  const std::string threePages = makeRaster({patternPage(64, 40, 1), patternPage(64, 40, 2), patternPage(64, 40, 3)});
  const size_t endOfPage2 = twoPages.size();
  FilterProcess filter(printer.run());
  filter.write(threePages.substr(0, endOfPage2 - 100));
  filter.waitUntilStarvedForInput();
  filter.signal(SIGTERM);
  filter.write(threePages.substr(endOfPage2 - 100, 100));
  filter.write(threePages.substr(endOfPage2, 1900 + 20));  // page 3's header and a few pixels
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(endsWith(r.err, kReady)) << r.err;
  EXPECT_EQ(countOf(r.out, "SOT\r\n"), 2u);
  EXPECT_TRUE(endsWith(r.out, "\r\nP1\r\n")) << "page 2 is sent to its end";
}

TEST(JobFlow, CancelBeforeTheFirstPageLeavesNoPages) {
  PrinterFixture printer;
  const std::string raster = makeRaster({patternPage(64, 40, 1)});
  FilterProcess filter(printer.run());
  filter.write(raster.substr(0, 4));  // the sync word only: the filter waits for the first header
  filter.waitUntilStarvedForInput();
  filter.signal(SIGTERM);
  filter.write(raster.substr(4));
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, kNoPages)) << r.err;
  EXPECT_EQ(countOf(r.out, "SOT\r\n"), 0u);
}

}  // namespace

namespace {

// A cancel that comes while the PPD is still being read holds: the job
// prints no page. The PPD is a pipe the test fills after the SIGTERM.
TEST(JobFlow, CancelWhileThePpdIsReadPrintsNoPage) {
  PrinterFixture printer;
  const std::string slowPpd = printer.dir.path() + "/slow.ppd";
  ASSERT_EQ(mkfifo(slowPpd.c_str(), 0600), 0);
  FilterRun run = printer.run("", makeRaster({patternPage(64, 40, 1)}));
  run.ppd = slowPpd;
  FilterProcess filter(run);
  const int writer = open(slowPpd.c_str(), O_WRONLY);  // returns once the filter has opened it
  ASSERT_GE(writer, 0);
  filter.signal(SIGTERM);
  const std::string ppd = readFile(printer.ppd);
  ASSERT_EQ(write(writer, ppd.data(), ppd.size()), static_cast<ssize_t>(ppd.size()));
  close(writer);
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, kNoPages)) << r.err;
  EXPECT_EQ(countOf(r.out, "SOT\r\n"), 0u);
}

// A cancel while the printer takes data slowly: the filter waits on a full
// printer pipe. What still reaches the printer is what the pipe and the
// stream buffer held and the rest of the page being printed, whole, not
// megabytes of further labels.
TEST(JobFlow, CancelOnASlowPrinterLeavesOnlyThePipeAndThePage) {
  PrinterFixture printer;
  const TestPage page = patternPage(800, 200);  // 20,000 bytes sent raw
  const std::string raster = makeRaster(std::vector<TestPage>(100, page));
  const int input = open(printer.dir.write("job.ras", raster).c_str(), O_RDONLY);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const auto capacity = static_cast<size_t>(fcntl(out[0], F_GETPIPE_SZ));
  FilterRun run = printer.run();
  run.fds = {{0, input}, {1, out[1]}};
  FilterProcess filter(run);
  close(input);
  close(out[1]);
  filter.waitUntilAsleep();
  filter.signal(SIGTERM);
  std::string printed;
  std::array<char, 65536> chunk;
  for (ssize_t got; (got = read(out[0], chunk.data(), chunk.size())) > 0;) printed.append(chunk.data(), size_t(got));
  close(out[0]);
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(endsWith(printed, "\r\nP1\r\n"));
  const size_t streamBuffer = 64 * 1024;
  const size_t pages = countOf(printed, "SOT\r\n");
  EXPECT_LE(pages, (capacity + streamBuffer) / 20000 + 2) << printed.size() << " bytes";
}

}  // namespace
