// printPage in this process on real raster read by libcups: bands and their
// headers, raw and compressed, the trace, the cut decision, the print
// command, and refused pages.
#include "page/print_page.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "support/label_stream.h"
#include "support/printer_fixture.h"
#include "support/capture.h"
#include "support/raster_writer.h"
#include "support/temp_dir.h"

namespace {

const std::string kT = "TAMRISK Label Driver DEBUG MSG : ";

settings_t pageSettings(int32_t rotation = 0, int32_t compressed = 0) {
  settings_t settings{};
  settings.rotation = rotation;
  settings.compressed = compressed;
  settings.runTrace = -1;
  return settings;
}

struct PageRun {
  int result = -1;
  Captured io;
  cups_page_header_t header{};
};

// Runs printPage on the first page of `raster`, after `edit` has changed the
// header that libcups read.
PageRun runPage(const std::string& raster, const settings_t& settings, int32_t pageNumber = 1, int32_t copies = 1,
                const std::function<void(cups_page_header_t&)>& edit = {}) {
  TempDir dir;
  const std::string path = dir.write("page.ras", raster);
  const int fd = open(path.c_str(), O_RDONLY);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  PageRun run;
  if (readPageHeader(ras, &run.header) == 0) {
    ADD_FAILURE() << "libcups read no page header";
  } else {
    if (edit) edit(run.header);
    run.io = capture([&] { run.result = printPage(ras, &run.header, &settings, &pageNumber, copies); });
  }
  cupsRasterClose(ras);
  close(fd);
  return run;
}

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// 450 rows of 104 bytes: three "LD" commands whose bytes are given in full.
TEST(PrintPage, RawPageOf450RowsGivesThreeBands) {
  const Image image = randomImage(832, 450, 1);
  const PageRun run = runPage(makeRaster({pageOf(image)}), pageSettings());
  ASSERT_EQ(run.result, 0) << run.io.err;
  const std::string pixels = text(image.pixels);
  const std::string expected =
      "SOT\r\n" + bytes({0x4C, 0x44, 0, 0, 0x00, 0x00, 0x68, 0x00, 0xC8, 0x00}) + pixels.substr(0, 20800) +
      bytes({0x4C, 0x44, 0, 0, 0xC8, 0x00, 0x68, 0x00, 0xC8, 0x00}) + pixels.substr(20800, 20800) +
      bytes({0x4C, 0x44, 0, 0, 0x90, 0x01, 0x68, 0x00, 0x32, 0x00}) + pixels.substr(41600) + "\r\nP1\r\n";
  EXPECT_TRUE(run.io.out == expected) << "output differs";
  std::string trace;
  for (auto [start, rows] : {std::pair{0, 200}, std::pair{200, 200}, std::pair{400, 50}}) {
    trace += kT + "printPage() : hieght = " + std::to_string(rows) + ", bytesPerLine = 104\n" + kT +
             "printPage() : start_height = " + std::to_string(start) + "\n" +
             "TAMRISK Label Driver DEBUG MSG: printPage() : i = " + std::to_string(rows * 104) + "\n";
  }
  EXPECT_EQ(run.io.err, trace + "PAGE: 1 1\n");
}

// Only `compressed` 1 sends "LCR" bands; every other value sends "LD".
TEST(PrintPage, BandsHoldAtMost200Rows) {
  struct Case {
    uint32_t height;
    std::vector<std::pair<uint16_t, uint16_t>> bands;  // start row, rows
  };
  for (const Case& c : {Case{1, {{0, 1}}}, Case{200, {{0, 200}}}, Case{201, {{0, 200}, {200, 1}}},
                        Case{401, {{0, 200}, {200, 200}, {400, 1}}}}) {
    const Image image = randomImage(20, c.height, c.height);
    for (int32_t compressed : {0, 1, 2, -1}) {
      const PageRun run = runPage(makeRaster({pageOf(image)}), pageSettings(0, compressed));
      ASSERT_EQ(run.result, 0);
      const std::vector<PrintedPage> pages = splitPages(parseStream(run.io.out));
      ASSERT_EQ(pages.size(), 1u);
      std::vector<std::pair<uint16_t, uint16_t>> bands;
      for (const StreamItem& band : pages[0].bands) {
        bands.emplace_back(band.startRow, band.rows);
        EXPECT_EQ(band.compressed, compressed == 1);
      }
      EXPECT_EQ(bands, c.bands) << c.height << " rows";
      EXPECT_EQ(pages[0].image.pixels, image.pixels);
      EXPECT_EQ(pages[0].after, std::vector<std::string>{"P1"});
    }
  }
}

// An all-blank page of 450 rows of 104 bytes: every run is known, so the
// whole trace and output can be written down.
TEST(PrintPage, CompressedPageGivesItsHeadersPayloadsAndTrace) {
  const Image blank{832, 450, 104, std::vector<uint8_t>(size_t{104} * 450, 0)};
  const PageRun run = runPage(makeRaster({pageOf(blank)}), pageSettings(0, 1));
  ASSERT_EQ(run.result, 0);
  auto payload = [](size_t length) {
    std::string p;
    for (; length > 255; length -= 255) p += bytes({0x00, 0xFF});
    return p + bytes({0x00, static_cast<uint8_t>(length)});
  };
  auto runs = [](size_t length) {
    std::string lines;
    for (; length > 255; length -= 255) lines += kT + "compData = 0x00, compDataLength = 255\n";
    return lines + kT + "compData = 0x00, compDataLength = " + std::to_string(length) + "\n";
  };
  EXPECT_EQ(payload(20800).size(), 164u);
  const std::string expectedOut =
      "SOT\r\n" + bytes({0x4C, 0x43, 0x52, 0, 0, 0, 0x00, 0x00, 0x68, 0x00, 0xC8, 0x00}) + payload(20800) +
      bytes({0x4C, 0x43, 0x52, 0, 0, 0, 0xC8, 0x00, 0x68, 0x00, 0xC8, 0x00}) + payload(20800) +
      bytes({0x4C, 0x43, 0x52, 0, 0, 0, 0x90, 0x01, 0x68, 0x00, 0x32, 0x00}) + payload(5200) + "\r\nP1\r\n";
  EXPECT_EQ(run.io.out, expectedOut);
  std::string trace;
  struct Band {
    int remaining, rows, start, previous;
  };
  for (const Band& b : {Band{250, 200, 0, 0}, Band{50, 200, 200, 164}, Band{0, 50, 400, 164}}) {
    trace += kT + "printPage() comp : hieght = " + std::to_string(b.remaining) +
             ", p_height = " + std::to_string(b.rows) + ", bytesPerLine = 104\n" + kT +
             "printPage() comp : start_height = " + std::to_string(b.start) + "\n" + kT +
             "printPage() comp : compDataLen = " + std::to_string(b.previous) + "\n" + kT + "start RLE Compression\n" +
             runs(size_t(b.rows) * 104) + kT + "RLE Compression complete\n";
  }
  EXPECT_EQ(run.io.err, trace + "PAGE: 1 1\n");
}

// The tallest page an image command can carry: 65,535 rows, its last band
// starting at row 65,400.
TEST(PrintPage, TallestPageFitsTheCommandFields) {
  const Image image = randomImage(8, 65535, 9);
  const PageRun run = runPage(makeRaster({pageOf(image)}), pageSettings());
  ASSERT_EQ(run.result, 0);
  const std::vector<PrintedPage> pages = splitPages(parseStream(run.io.out));
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].bands.size(), 328u);
  EXPECT_EQ(pages[0].bands[327].startRow, 65400);
  EXPECT_EQ(pages[0].bands[327].rows, 135);
  EXPECT_EQ(pages[0].image.pixels, image.pixels);
}

// What follows the image's CR LF for pages 1 to 4. A copy count below 1 (-1
// when the PPD has none) is one copy.
TEST(PrintPage, CutDecisionAndPrintCommand) {
  struct Case {
    int32_t cutter;
    int32_t cutPeriod;
    int32_t copies;
    std::array<const char*, 4> tails;
  };
  const std::vector<Case> cases{
      {1, 2, 1, {"P1", "CUTy,1 P1", "CUTn P1", "CUTy,1 P1"}},
      {1, 0, 1, {"P1", "CUTn P1", "CUTn P1", "CUTn P1"}},
      {1, -3, 1, {"P1", "CUTn P1", "CUTy,1 P1", "CUTn P1"}},
      {-1, 1, 1, {"P1", "CUTy,1 P1", "CUTy,1 P1", "CUTy,1 P1"}},
      {1, 2, 0, {"P1", "CUTy,1 P1", "CUTn P1", "CUTy,1 P1"}},
      {1, 2, 3, {"P1,3", "P1,3", "P1,3", "P1,3"}},
      {1, 3, -1, {"P1", "CUTn P1", "CUTy,1 P1", "CUTn P1"}},
      {1, 2, -5, {"P1", "CUTy,1 P1", "CUTn P1", "CUTy,1 P1"}},
      {0, 2, 1, {"P1", "P1", "P1", "P1"}},
      {0, 2, 2, {"P1,2", "P1,2", "P1,2", "P1,2"}},
  };
  const std::string raster = makeRaster({patternPage(16, 3)});
  for (const Case& c : cases) {
    settings_t settings = pageSettings();
    settings.cutter = c.cutter;
    settings.cutPeriod = c.cutPeriod;
    for (int32_t page = 1; page <= 4; ++page) {
      const PageRun run = runPage(raster, settings, page, c.copies);
      ASSERT_EQ(run.result, 0);
      const std::vector<PrintedPage> pages = splitPages(parseStream(run.io.out));
      ASSERT_EQ(pages.size(), 1u);
      std::string tail;
      for (const std::string& command : pages[0].after) tail += (tail.empty() ? "" : " ") + command;
      EXPECT_EQ(tail, c.tails[static_cast<size_t>(page - 1)])
          << "cutter " << c.cutter << ", period " << c.cutPeriod << ", copies " << c.copies << ", page " << page;
      const std::string accounting = "PAGE: " + std::to_string(page) + " " + std::to_string(std::max(c.copies, 1));
      EXPECT_TRUE(endsWith(run.io.err, accounting + "\n"));
    }
  }
}

// Headers that cannot describe a printable 1-bit page: refused before any
// byte is written, with one line that says why.
TEST(PrintPage, HostileHeadersAreRefusedBeforeAnyOutput) {
  struct Case {
    const char* what;
    int32_t rotation;
    std::function<void(cups_page_header_t&)> edit;
    const char* reason;
  };
  const std::vector<Case> cases{
      {"zero width", 0, [](cups_page_header_t& h) { h.cupsWidth = 0; }, "has no image (0 x 8 pixels)"},
      {"zero height", 0, [](cups_page_header_t& h) { h.cupsHeight = 0; }, "has no image (64 x 0 pixels)"},
      {"8-bit", 0, [](cups_page_header_t& h) { h.cupsBitsPerPixel = 8; }, "has 8 bits per pixel"},
      {"24-bit", 2, [](cups_page_header_t& h) { h.cupsBitsPerPixel = 24; }, "has 24 bits per pixel"},
      {"short rows", 0, [](cups_page_header_t& h) { h.cupsBytesPerLine = 7; }, "7 bytes per line cannot hold 64"},
      {"no row bytes", 1, [](cups_page_header_t& h) { h.cupsBytesPerLine = 0; }, "0 bytes per line cannot hold"},
      // The image command carries bytes per line and rows in 16 bits.
      {"too wide for a command", 0,
       [](cups_page_header_t& h) {
         h.cupsWidth = 600000;
         h.cupsBytesPerLine = 75000;
         h.cupsHeight = 2;
       },
       "75000 bytes per line and 2 rows, more than the 65535"},
      {"too tall for a command", 2, [](cups_page_header_t& h) { h.cupsHeight = 65536; },
       "8 bytes per line and 65536 rows"},
      {"turned too tall", 1,
       [](cups_page_header_t& h) {
         h.cupsWidth = 65536;
         h.cupsBytesPerLine = 8192;
       },
       "1 bytes per line and 65536 rows"},
      {"turned too wide", 3, [](cups_page_header_t& h) { h.cupsHeight = 524281; }, "65536 bytes per line and 64 rows"},
      {"just too large", 0,
       [](cups_page_header_t& h) {
         h.cupsBytesPerLine = 16384;
         h.cupsWidth = 131072;
         h.cupsHeight = 16385;
       },
       "needs 268451840 bytes"},
  };
  const std::string raster = makeRaster({patternPage(64, 8)});
  for (const Case& c : cases) {
    const PageRun run = runPage(raster, pageSettings(c.rotation), 1, 1, c.edit);
    EXPECT_EQ(run.result, 1) << c.what;
    EXPECT_EQ(run.io.out, "") << c.what;
    EXPECT_EQ(run.io.err.rfind("ERROR: Page 1 ", 0), 0u) << c.what << ": " << run.io.err;
    EXPECT_NE(run.io.err.find(c.reason), std::string::npos) << c.what << ": " << run.io.err;
    EXPECT_EQ(std::count(run.io.err.begin(), run.io.err.end(), '\n'), 1) << c.what << ": " << run.io.err;
  }
}

TEST(PrintPage, LargestAllowedPageGetsPastTheSizeCheck) {
  // 256 MiB exactly is allowed; only the header matters for the check, so a
  // page that is then cut short shows it got past the check.
  const PageRun run = runPage(makeRaster({patternPage(64, 8)}), pageSettings(), 1, 1, [](cups_page_header_t& h) {
    h.cupsBytesPerLine = 16384;
    h.cupsWidth = 131072;
    h.cupsHeight = 16384;
  });
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.io.err, "ERROR: The raster data of page 1 ended early or is damaged; the page was not printed.\n");
}

TEST(PrintPage, RasterCutOffInsideThePageFailsWithoutOutput) {
  const std::string raster = makeRaster({patternPage(100, 300)});
  for (size_t cut : {size_t{1}, size_t{1000}, raster.size() - 1 - 1800}) {
    const PageRun run = runPage(raster.substr(0, raster.size() - cut), pageSettings(1, 1), 3);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.io.out, "");
    EXPECT_EQ(run.io.err, "ERROR: The raster data of page 3 ended early or is damaged; the page was not printed.\n");
  }
}

}  // namespace
