// Print files passed through to the printer as its own text commands.
#include <gtest/gtest.h>

#include "support/printer_fixture.h"

namespace {

TEST(TextPassThrough, EmptyFileGivesCarriageReturnAndLineFeed) {
  PrinterFixture printer;
  const FilterResult r = runFilter(printer.runFile(printer.dir.write("empty.txt", "")));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "\r\n");
  EXPECT_EQ(r.err.find("lengthDot"), std::string::npos) << "no raster phase for a text job";
  EXPECT_EQ(r.err.find("Ready to print"), std::string::npos) << "no closing message for a text job";
}

TEST(TextPassThrough, LargeFileWithZeroBytesIsCopiedWhole) {
  PrinterFixture printer;
  std::string text(300000, 'A');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i % 251);  // zero bytes included
  text[10] = '\0';
  const FilterResult r = runFilter(printer.runFile(printer.dir.write("commands.txt", text)));
  EXPECT_EQ(r.exitStatus, 0);
  ASSERT_EQ(r.out.size(), text.size() + 2);
  EXPECT_TRUE(r.out == text + "\r\n");
}

TEST(TextPassThrough, UnreadableFileFailsTheJob) {
  PrinterFixture printer;
  // A folder opens read-only but every read of it fails.
  const FilterResult r = runFilter(printer.runFile(printer.dir.path()));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, "ERROR: Unable to read the print file: Is a directory\n")) << r.err;
}

TEST(TextPassThrough, LostPrinterConnectionIsReported) {
  PrinterFixture printer;
  const std::string file = printer.dir.write("commands.txt", std::string(200000, 'x'));
  int gone[2];
  ASSERT_EQ(pipe(gone), 0);
  close(gone[0]);  // nobody reads: every write fails with a broken pipe
  FilterRun run = printer.runFile(file);
  run.fds = {{1, gone[1]}};
  FilterResult r = runFilter(run);
  close(gone[1]);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, "ERROR: Unable to send the job to the printer: Broken pipe\n")) << r.err;

  run.fds = {{1, -1}};  // started without standard output at all
  r = runFilter(run);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(endsWith(r.err, "ERROR: Unable to send the job to the printer: Bad file descriptor\n")) << r.err;
}

TEST(TextPassThrough, RasterFileGivenByNameIsPrintedAsRaster) {
  PrinterFixture printer;
  const std::string raster = makeRaster({patternPage(64, 10)});
  const FilterResult r = runFilter(printer.runFile(printer.dir.write("job.ras", raster)));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.find("RaS"), std::string::npos) << "raster must not be copied as text";
  EXPECT_NE(r.err.find(kTrace + "lengthDot = "), std::string::npos);
  EXPECT_TRUE(endsWith(r.err, kReady)) << r.err;
}

}  // namespace
