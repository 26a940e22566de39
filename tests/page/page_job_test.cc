// Raster jobs through the built filter: the pages the printer gets, put back
// together from the label stream, against the input turned as asked, and the
// page trace that goes with them.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/label_stream.h"
#include "support/printer_fixture.h"

namespace {

const std::string kModeLine = kTrace + "Not Tamrisk Msq API Mode!!!\n";

// The trace of the pages, as the label stream says they were sent.
std::string pageTrace(const std::vector<PrintedPage>& pages, bool traceRuns = true) {
  std::string trace;
  int number = 0;
  for (const PrintedPage& page : pages) {
    ++number;
    int remaining = static_cast<int>(page.image.height);
    size_t previous = 0;
    for (const StreamItem& band : page.bands) {
      const std::string rows = std::to_string(band.rows);
      const std::string bpl = std::to_string(band.bytesPerLine);
      const std::string start = std::to_string(band.startRow);
      remaining -= band.rows;
      if (!band.compressed) {
        trace += kTrace + "printPage() : hieght = " + rows + ", bytesPerLine = " + bpl + "\n" + kTrace +
                 "printPage() : start_height = " + start + "\n" +
                 "TAMRISK Label Driver DEBUG MSG: printPage() : i = " + std::to_string(band.pixels.size()) + "\n";
        continue;
      }
      trace += kTrace + "printPage() comp : hieght = " + std::to_string(remaining) + ", p_height = " + rows +
               ", bytesPerLine = " + bpl + "\n" + kTrace + "printPage() comp : start_height = " + start + "\n" +
               kTrace + "printPage() comp : compDataLen = " + std::to_string(previous) + "\n" + kTrace +
               "start RLE Compression\n";
      for (size_t at = 0; at < band.payload.size(); ++at) {
        const uint8_t value = band.payload[at];
        if (value != 0x00 && value != 0xFF) continue;
        if (!traceRuns) {
          ++at;
          continue;
        }
        trace += kTrace + "compData = " + (value == 0 ? "0x00" : "0xff") +
                 ", compDataLength = " + std::to_string(band.payload[++at]) + "\n";
      }
      trace += kTrace + "RLE Compression complete\n";
      previous = band.payload.size();
    }
    for (const std::string& command : page.after) {
      if (command == "CUTy,1") trace += kTrace + "setCutter() : CUTy\n" + kTrace + "cutterMode = 1\n";
      if (command == "CUTn") trace += kTrace + "setCutter() : CUTn\n" + kTrace + "cutterMode = 0\n";
    }
    const std::string& print = page.after.back();
    trace += "PAGE: " + std::to_string(number) + " " + (print == "P1" ? "1" : print.substr(3)) + "\n";
  }
  return trace;
}

// What the filter wrote to standard error after the setup, up to the end.
std::string traceAfterSetup(const std::string& err) {
  const size_t at = err.find(kModeLine);
  return at == std::string::npos ? err : err.substr(at + kModeLine.size());
}

void expectSameImage(const Image& printed, const Image& expected, const std::string& what) {
  EXPECT_EQ(printed.bytesPerLine, expected.bytesPerLine) << what;
  EXPECT_EQ(printed.height, expected.height) << what;
  EXPECT_TRUE(printed.pixels == expected.pixels) << what << ": pixels differ";
}

TEST(PageJob, EveryRotationRawAndCompressedPrintsEveryPage) {
  PrinterFixture printer;
  const std::vector<Image> images{randomImage(100, 450, 1), randomImage(64, 7, 2), randomImage(203, 201, 3, 27)};
  std::vector<TestPage> input;
  for (const Image& image : images) input.push_back(pageOf(image));
  const std::string raster = makeRaster(input);
  for (int rotation = 0; rotation <= 3; ++rotation) {
    for (int compressed = 0; compressed <= 1; ++compressed) {
      const std::string options =
          "Rotation=" + std::to_string(rotation) + " CompPrinting=" + std::to_string(compressed);
      const FilterResult r = runFilter(printer.run(options, raster));
      ASSERT_EQ(r.exitStatus, 0) << options << "\n" << r.err;
      std::vector<std::string> setup;
      const std::vector<PrintedPage> pages = splitPages(parseStream(r.out), &setup);
      EXPECT_FALSE(setup.empty()) << "no job setup before the pages";
      ASSERT_EQ(pages.size(), images.size()) << options;
      for (size_t i = 0; i < pages.size(); ++i) {
        const std::string what = options + ", page " + std::to_string(i + 1);
        const std::vector<std::string> orientation =
            rotation == 2 ? std::vector<std::string>{"SOT", "SOB"} : std::vector<std::string>{"SOT"};
        EXPECT_EQ(pages[i].before, orientation) << what;
        EXPECT_EQ(pages[i].after, std::vector<std::string>{"P1"}) << what;
        for (const StreamItem& band : pages[i].bands) EXPECT_EQ(band.compressed, compressed == 1) << what;
        expectSameImage(pages[i].image, turnedByDefinition(images[i], rotation), what);
      }
      EXPECT_EQ(traceAfterSetup(r.err), pageTrace(pages) + kReady) << options;
    }
  }
}

// The cut period comes from the PPD's custom cutter choice.
TEST(PageJob, CutPeriodDecidesEachPagesCut) {
  PrinterFixture printer;
  const std::string raster =
      makeRaster({patternPage(40, 10, 1), patternPage(40, 10, 2), patternPage(40, 10, 3), patternPage(40, 10, 4)});
  const FilterResult r = runFilter(printer.run("Cutter=custom.2", raster));
  ASSERT_EQ(r.exitStatus, 0);
  const std::vector<PrintedPage> pages = splitPages(parseStream(r.out));
  ASSERT_EQ(pages.size(), 4u);
  const std::vector<std::vector<std::string>> tails{{"P1"}, {"CUTy,1", "P1"}, {"CUTn", "P1"}, {"CUTy,1", "P1"}};
  for (size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(pages[i].after, tails[i]) << "page " << i + 1;
  EXPECT_EQ(traceAfterSetup(r.err), pageTrace(pages) + kReady);
}

// RunTrace 0 leaves out the trace line of every run-length run and nothing
// else: the printer gets the same bytes, the rest of the trace stays.
TEST(PageJob, RunTraceOffLeavesOutOnlyTheRunLines) {
  TestPpd withSwitch = fullTestPpd();
  withSwitch.options.push_back({"RunTrace", "1_On", {"0_Off", "1_On"}});
  const PrinterFixture without;
  const PrinterFixture with(withSwitch);
  const std::string raster = makeRaster({pageOf(randomImage(300, 450, 7)), pageOf(randomImage(64, 9, 8))});
  const FilterResult absent = runFilter(without.run("CompPrinting=1 Rotation=1", raster));
  ASSERT_EQ(absent.exitStatus, 0);
  const std::string absentSettings = absent.err.substr(0, absent.err.find(kModeLine));
  for (const std::string choice : {"0_Off", "1_On"}) {
    const FilterResult r = runFilter(with.run("CompPrinting=1 Rotation=1 RunTrace=" + choice, raster));
    ASSERT_EQ(r.exitStatus, 0) << choice;
    EXPECT_TRUE(r.out == absent.out) << choice;
    EXPECT_EQ(traceAfterSetup(r.err), pageTrace(splitPages(parseStream(r.out)), choice == "1_On") + kReady);
    // Reading the option adds its reader's line and no settings line.
    std::string settingsTrace = r.err.substr(0, r.err.find(kModeLine));
    const std::string readerLine = kTrace + "getOptionChoice = " + choice + "\n";
    const size_t at = settingsTrace.find(readerLine);
    ASSERT_NE(at, std::string::npos) << choice;
    EXPECT_EQ(settingsTrace.erase(at, readerLine.size()), absentSettings) << choice;
  }
}

// A raster of one page header and no pixels, written by libcups.
std::string headerOnlyRaster(uint32_t width, uint32_t height, uint32_t bytesPerLine) {
  TempDir dir;
  const std::string path = dir.path() + "/header.ras";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  cups_page_header2_t header{};
  header.cupsWidth = width;
  header.cupsHeight = height;
  header.cupsBitsPerPixel = header.cupsBitsPerColor = 1;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsBytesPerLine = bytesPerLine;
  header.HWResolution[0] = header.HWResolution[1] = 203;
  EXPECT_NE(cupsRasterWriteHeader2(ras, &header), 0u);
  cupsRasterClose(ras);
  close(fd);
  return readFile(path);
}

// A refused or unreadable page leaves nothing of itself on standard output,
// keeps the pages before it and fails the job.
TEST(PageJob, BadPageEndsTheJobAfterTheGoodOnes) {
  PrinterFixture printer;
  const std::string good = makeRaster({patternPage(64, 30, 1)});
  TestPage grey = patternPage(64, 30, 2);
  grey.bitsPerPixel = 8;
  grey.pixels.clear();
  const std::string twoPages = makeRaster({patternPage(64, 30, 1), patternPage(64, 300, 2)});
  const std::string huge = headerOnlyRaster(32000, 100000, 4000);
  struct Case {
    const char* what;
    std::string raster;
    std::string error;
  };
  const std::vector<Case> cases{
      {"8-bit page", makeRaster({patternPage(64, 30, 1), grey}), "ERROR: Page 2 has 8 bits per pixel"},
      {"huge page", good + huge.substr(4), "ERROR: Page 2 is too large"},
      {"cut off", twoPages.substr(0, twoPages.size() - 500), "ERROR: The raster data of page 2 ended early"},
  };
  const FilterResult alone = runFilter(printer.run("Rotation=1 CompPrinting=1", good));
  ASSERT_EQ(alone.exitStatus, 0);
  for (const Case& c : cases) {
    const FilterResult r = runFilter(printer.run("Rotation=1 CompPrinting=1", c.raster));
    EXPECT_EQ(r.exitStatus, 1) << c.what;
    EXPECT_EQ(r.out, alone.out) << c.what;
    EXPECT_NE(r.err.find("\n" + c.error), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_TRUE(endsWith(r.err, kReady)) << c.what;
  }
}

}  // namespace
