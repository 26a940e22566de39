// The job-setup block as the filter writes it for a raster job: its bytes at
// the start of standard output and its trace lines on standard error.
#include <gtest/gtest.h>

#include <string>

#include "support/printer_fixture.h"

namespace {

struct SetupRun {
  FilterResult result;
  std::string traces;  // from the lengthDot line to the line that closes the setup
};

// Runs a one-page raster job. The setup block must open standard output, and
// the page that follows starts with SOT.
SetupRun runJob(const TestPpd& ppd, const std::string& options = "") {
  PrinterFixture printer(ppd);
  SetupRun run{runFilter(printer.run(options, makeRaster({patternPage(64, 8)}))), ""};
  const size_t from = run.result.err.find(kTrace + "lengthDot = ");
  const std::string last = kTrace + "Not Tamrisk Msq API Mode!!!\n";
  const size_t to = run.result.err.find(last);
  if (from != std::string::npos && to != std::string::npos && to >= from) {
    run.traces = run.result.err.substr(from, to + last.size() - from);
  }
  return run;
}

void expectBlock(const SetupRun& run, const std::string& block) {
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  ASSERT_TRUE(run.result.out.starts_with(block)) << run.result.out;
  EXPECT_EQ(run.result.out.substr(block.size(), 5), "SOT\r\n") << "the page must follow the block directly";
}

std::string line(const std::string& text) { return kTrace + text + "\n"; }

TEST(SetupBlock, PlainLabelPrinter) {
  // 295 by 144 points is 832 by 406 dots at 203 dpi.
  const SetupRun run = runJob(fullTestPpd(34), "PageSize=Custom.295x144");
  expectBlock(run, "SL406,24,G\r\nSW832\r\nSTd\r\nSD10\r\nSM0,0\r\nSS4\r\nTA0\r\nCUTn\r\n");
  EXPECT_EQ(run.traces, line("lengthDot = 406, widthDot = 832") + line("setLength() : SL406,24,G,0") +
                            line("setWidth() : SW832") + line("setMediaType() : STd") + line("setDarkness() : SD10") +
                            line("setMargin() : SM0,0") + line("setSpeed() : SS4") + line("setToOffset() : TA0") +
                            "TAMRISK Label Driver DEBUG MSG primaryProcess(3) : settings.cutPeriod = 0" +
                            line("setCutter() : CUTn") + line("cutterMode = 0") + line("Not Tamrisk Msq API Mode!!!"));
}

TEST(SetupBlock, RewinderPrinterWithBlackMarkOffsetAndCutter) {
  // A cut period of 2 with the cutter plainly on: the PPD's default is the
  // custom period, which keeps its value when the job chooses Cutter 1.
  TestPpd ppd = fullTestPpd(292);
  setDefault(ppd, "Cutter", "Custom.2");
  // 227 by 171 points is 640 by 482 dots at 203 dpi (480 has no whole-point size).
  const SetupRun run = runJob(ppd,
                              "PageSize=Custom.227x171 SensorType=2 BMOffset=2 MediaType=1 Darkness=12 XMargin=1 "
                              "PrintSpeed=5 Rewinder=1 Cutter=1 NumOfCopies=3");
  expectBlock(run, "SL482,24,B\r\nSA16\r\nSW640\r\nSTt\r\nSD12\r\nSM8,0\r\nSS5\r\nTA0\r\nRWDy\r\nCUTy,2\r\n");
  EXPECT_EQ(run.traces, line("lengthDot = 482, widthDot = 640") + line("setLength() : SL482,24,B,16") +
                            line("setLength() : SA16") + line("setWidth() : SW640") + line("setMediaType() : STt") +
                            line("setDarkness() : SD12") + line("setMargin() : SM8,0") + line("setSpeed() : SS5") +
                            line("setToOffset() : TA0") + line("setRewinder() : RWDy") +
                            "TAMRISK Label Driver DEBUG MSG primaryProcess(1) : settings.cutPeriod = 2" +
                            line("setCutter() : CUTy") + line("cutterMode = 1") + line("Not Tamrisk Msq API Mode!!!"));
}

TEST(SetupBlock, EmptyRasterStillGetsExactlyTheBlock) {
  PrinterFixture printer;
  const FilterResult r = runFilter(printer.run("PageSize=0", makeRaster({})));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "SL203,24,G\r\nSW304\r\nSTd\r\nSD10\r\nSM0,0\r\nSS4\r\nTA0\r\nCUTn\r\n");
  EXPECT_TRUE(endsWith(r.err, kNoPages)) << r.err;
}

// Which conversion and which places: the label length and width in dots as
// the job trace reports them and SL/SW send them.
struct SizeCase {
  const char* name;
  bool customPageSize;  // the PPD has a custom page size
  bool rotationOption;  // the PPD has the Rotation option
  std::string options;
  int32_t lengthDot, widthDot;
};

TEST(SetupBlock, LabelSizeChoiceAndQuarterTurns) {
  const SizeCase cases[] = {
      {"standard size", true, true, "PageSize=27", 203, 609},
      {"standard size at 300 dpi", true, true, "PageSize=5 Resolution=300dpi", 1498, 449},
      {"standard size at 600 dpi", true, true, "PageSize=54 Resolution=600dpi", 7193, 2397},
      // Without a custom page size the PPD's PageSize still counts.
      {"no custom size in the PPD", false, true, "PageSize=53", 1625, 812},
      {"custom size", true, true, "PageSize=Custom.288x432", 1219, 812},
      {"custom width only", true, true, "PageSize=Custom.288x0", 0, 812},
      {"half turn keeps the sides", true, true, "PageSize=0 Rotation=2", 203, 304},
      {"quarter turn swaps", true, true, "PageSize=0 Rotation=1", 304, 203},
      {"three quarters swap", true, true, "PageSize=Custom.288x432 Rotation=3", 812, 1219},
      // No Rotation option: the image is not turned, so neither is the label.
      {"no rotation option", false, false, "PageSize=0", 203, 304},
      {"no rotation option, custom", true, false, "PageSize=Custom.288x432", 1219, 812},
      {"last standard size", true, true, "PageSize=55", 914, 609},
      // An index outside the table leaves both sizes at 0.
      {"index 56", true, true, "PageSize=56", 0, 0},
      {"index -1", false, true, "PageSize=-1", 0, 0},
  };
  for (const SizeCase& c : cases) {
    TestPpd ppd = fullTestPpd(34);
    ppd.customPageSize = c.customPageSize;
    if (!c.rotationOption) removeOption(ppd, "Rotation");
    for (PpdOption& option : ppd.options) {
      if (option.keyword == "PageSize") option.choices.insert(option.choices.end(), {"56", "-1"});
    }
    const SetupRun run = runJob(ppd, c.options);
    const std::string length = std::to_string(c.lengthDot);
    const std::string width = std::to_string(c.widthDot);
    EXPECT_TRUE(run.result.out.starts_with("SL" + length + ",24,G\r\nSW" + width + "\r\n")) << c.name;
    EXPECT_TRUE(run.traces.starts_with(line("lengthDot = " + length + ", widthDot = " + width))) << c.name;
  }
}

}  // namespace
