// The stream decoder: its listing of a hand-made stream byte for byte, the
// pages it writes for what the filter sent, and damaged streams.
#include <gtest/gtest.h>

#include "support/label_stream.h"
#include "support/printer_fixture.h"

namespace {

FilterResult decode(const std::string& stream, const std::vector<std::string>& args = {}) {
  FilterRun run;
  run.args = args;
  run.input = stream;
  return runFilter(run, TMK_DECODE_PATH);
}

// A PBM file as the decoder writes it: the width is 8 pixels per byte.
std::string pbm(const Image& image) {
  return "P4\n" + std::to_string(8 * image.bytesPerLine) + " " + std::to_string(image.height) + "\n" +
         std::string(image.pixels.begin(), image.pixels.end());
}

const std::string kBand = bytes({'L', 'C', 'R', 0, 0, 0, 0, 0, 2, 0, 3, 0}) + bytes({0xFF, 2, 0x5A, 0x00, 3});
// Row 3 of the same page, raw.
const std::string kLastRow = bytes({'L', 'D', 0, 0, 3, 0, 2, 0, 1, 0, 0x81, 0x42});

TEST(Decode, ListsTheCommandsAndWritesThePage) {
  TempDir dir;
  const std::string stream = "SL203,24,G\r\nCUTn\r\nSOT\r\n" + kBand + kLastRow + "\r\nP1,2\r\n";
  const FilterResult r = decode(stream, {"-p", dir.path() + "/label"});
  EXPECT_EQ(r.out,
            "SL203,24,G\nCUTn\nSOT\n"
            "LCR start row 0, 2 bytes per line, 3 rows: 5 payload bytes\n"
            "LD start row 3, 2 bytes per line, 1 rows\n"
            "(end of image)\nP1,2\npage 1: 16 x 4 pixels, written to " +
                dir.path() + "/label-1.pbm\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(readFile(dir.path() + "/label-1.pbm"), pbm(Image{16, 4, 2, {0xFF, 0xFF, 0x5A, 0, 0, 0, 0x81, 0x42}}));
}

// Text command files pass through the filter unchanged: their lines are
// listed as they are, with the bytes that are no text shown in hex.
TEST(Decode, ShowsOtherBytesOfATextFileInHex) {
  const FilterResult r = decode(bytes({'A', 0x01, 'B', 0xE9, '\r', '\n', '\r', '\n'}) + "P1\r\n");
  EXPECT_EQ(r.out, "A\\x01B\\xE9\n(empty line)\nP1\n");
  EXPECT_EQ(r.exitStatus, 0);
}

// The pages of a real job, raw and compressed, unturned and turned, come out
// as the printer gets them.
TEST(Decode, PagesOfAFilterJobAreThePrintedImages) {
  PrinterFixture printer;
  TempDir dir;
  const std::vector<Image> images{randomImage(100, 450, 4), randomImage(203, 21, 5, 27)};
  std::vector<TestPage> input;
  for (const Image& image : images) input.push_back(pageOf(image));
  const std::string raster = makeRaster(input);
  for (const int rotation : {0, 1}) {
    // Unturned pages raw, turned ones compressed.
    const std::string options = "Rotation=" + std::to_string(rotation) + " CompPrinting=" + std::to_string(rotation);
    const FilterResult job = runFilter(printer.run(options, raster));
    ASSERT_EQ(job.exitStatus, 0) << job.err;
    const std::string prefix = dir.path() + "/rotation" + std::to_string(rotation);
    const FilterResult r = decode(job.out, {"-p", prefix});
    EXPECT_EQ(r.exitStatus, 0) << options << "\n" << r.err;
    const std::vector<PrintedPage> pages = splitPages(parseStream(job.out));
    ASSERT_EQ(pages.size(), images.size());
    for (size_t i = 0; i < pages.size(); ++i) {
      const std::string file = prefix + "-" + std::to_string(i + 1) + ".pbm";
      EXPECT_NE(r.out.find(" pixels, written to " + file + "\n"), std::string::npos) << options;
      EXPECT_EQ(readFile(file), pbm(pages[i].image)) << options << ", page " << i + 1;
      EXPECT_EQ(pages[i].image.pixels, turnedByDefinition(images[i], rotation).pixels) << options;
    }
  }
}

TEST(Decode, DamagedStreamsAreReported) {
  const std::string sot = "SOT\r\n";
  const struct {
    std::string stream;
    std::string error;
  } cases[] = {
      {sot + kBand.substr(0, 9), "ERROR: image command cut short at byte 5\n"},
      {sot + kBand.substr(0, 12) + bytes({0x00, 0}), "ERROR: run-length payload of the image command at byte 5 "
                                                     "does not decode to 6 bytes\n"},
      {sot + kBand.substr(0, 12) + bytes({0xFF, 7}), "ERROR: run-length payload of the image command at byte 5 "
                                                     "does not decode to 6 bytes\n"},
      {sot + bytes({'L', 'D', 0, 0, 0, 0, 2, 0, 2, 0, 1}), "ERROR: image command at byte 5 cut short: 4 bytes of "
                                                           "rows announced, 1 there\n"},
      {sot + kBand + "\r\nP1", "ERROR: bytes without a line end at byte 24\n"},
      {kBand + "\r\nP1\r\n", "ERROR: the image command at byte 0 comes before any SOT\n"},
      {sot + kBand + kBand + "\r\nP1\r\n",
       "ERROR: the image command at byte 22 starts at row 0, the page has 3 rows so far\n"},
      {sot + kBand + "\r\n", "ERROR: the stream ends inside a page (no P1 after its image)\n"},
      {sot + kBand + "\r\n" + kLastRow + "\r\nP1\r\n",
       "ERROR: the image command at byte 24 comes after its page's image ended\n"},
      {sot + kBand + bytes({'L', 'D', 0, 0, 3, 0, 3, 0, 1, 0, 1, 2, 3}) + "\r\nP1\r\n",
       "ERROR: the image command at byte 22 has 3 bytes per line, the page 2\n"},
      {sot + kBand + "\r\n" + sot + "P1\r\n", "ERROR: SOT inside page 1\n"},
      {sot + bytes({'L', 'D', 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
       "ERROR: the image command at byte 5 carries 65535 rows (1 to 200 expected)\n"},
  };
  for (const auto& c : cases) {
    const FilterResult r = decode(c.stream);
    EXPECT_EQ(r.err, c.error) << testing::PrintToString(c.stream);
    EXPECT_EQ(r.exitStatus, 1) << testing::PrintToString(c.stream);
  }
}

}  // namespace
