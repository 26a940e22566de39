// Hostile and broken input through the whole filter process: jobs cut off
// anywhere, pages the printer cannot take or the filter has no memory for,
// data after the last page, an output that cannot be written, non-blocking
// descriptors, broken PPDs, huge option strings and cancellation at random
// moments. A label that could not be printed gives an
// "ERROR: " line and status 1; the printer only ever gets whole pages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include "driver/job.h"
#include "support/capture.h"
#include "support/hand_raster.h"
#include "support/printer_fixture.h"

namespace {

const std::string kSetupEnd = "SOT\r\n";
const std::string kPageEnd = "\r\nP1";
const std::string kSingleCopyPageEnd = kPageEnd + "\r\n";

bool hasErrorLine(const std::string& err, const std::string& fragment) {
  for (size_t at = err.find("ERROR: "); at != std::string::npos; at = err.find("ERROR: ", at + 1)) {
    const size_t lineEnd = err.find('\n', at);
    if ((at == 0 || err[at - 1] == '\n') && err.substr(at, lineEnd - at).find(fragment) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The printer stream cut after the setup block and after each whole page:
// the only outputs a job that stops early may leave.
// A page ends with the image's CR LF and P1, with its copies when there are
// more than one.
std::vector<std::string> wholePagePrefixes(const std::string& out) {
  std::vector<std::string> prefixes{out.substr(0, out.find(kSetupEnd))};
  for (size_t at = out.find(kPageEnd); at != std::string::npos; at = out.find(kPageEnd, at + 1)) {
    size_t end = at + kPageEnd.size();
    if (end < out.size() && out[end] == ',') end = out.find_first_not_of("-0123456789", end + 1);
    if (end != std::string::npos && out.compare(end, 2, "\r\n") == 0) prefixes.push_back(out.substr(0, end + 2));
  }
  return prefixes;
}

bool underValgrind() {
  const char* wrapper = std::getenv("TMK_FILTER_WRAPPER");
  return wrapper != nullptr && *wrapper != '\0';
}

// A two-page job, with where its first page header begins and its first
// page ends in the stream.
struct TwoPageJob {
  std::string name;
  std::string stream;
  size_t startOfPage1;
  size_t endOfPage1;
  size_t headerBytes;
};

// The same two pages in each raster format libcups reads.
TwoPageJob twoPageJob(const std::string& format) {
  const TestPage page1 = patternPage(120, 90, 1), page2 = patternPage(120, 90, 2);
  if (format == "compressed") {
    return {format, compressedRaster({page1, page2}), 4, compressedRaster({page1}).size(),
            sizeof(cups_page_header2_t)};
  }
  if (format == "Apple raster") {
    // "UNIRAST\0" and a page count, then pages with 32-byte headers.
    return {format, compressedRaster({page1, page2}, CUPS_RASTER_WRITE_APPLE), 12,
            compressedRaster({page1}, CUPS_RASTER_WRITE_APPLE).size(), 32};
  }
  return {format, makeRaster({page1, page2}), 4, makeRaster({page1}).size(), sizeof(cups_page_header2_t)};
}

// A job cut off anywhere sends only whole pages and fails unless it ends at a
// page end. One test per format keeps each short under valgrind.
void expectCutOffAnywhereSendsWholePages(const std::string& format) {
  PrinterFixture printer;
  const TwoPageJob job = twoPageJob(format);
  {
    const FilterResult whole = runFilter(printer.run("", job.stream));
    ASSERT_EQ(whole.exitStatus, 0) << job.name << whole.err;
    const std::vector<std::string> prefixes = wholePagePrefixes(whole.out);
    ASSERT_EQ(prefixes.size(), 3u) << job.name;

    const size_t header1 = job.startOfPage1, pixels1 = header1 + job.headerBytes, header2 = job.endOfPage1;
    const size_t pixels2 = header2 + job.headerBytes, end = job.stream.size();
    struct Cut {
      size_t at;
      size_t pagesSent;
      int exitStatus;
      const char* error;  // in an "ERROR: " line; nullptr: none expected
    };
    const std::vector<Cut> cuts{
        {1, 0, 1, "no CUPS raster data"},
        {header1 - 1, 0, 1, "no CUPS raster data"},
        {header1, 0, 1, nullptr},  // the file header alone: a job without pages
        {header1 + 1, 0, 1, "first page header"},
        {header1 + job.headerBytes / 2, 0, 1, "first page header"},
        {pixels1 - 1, 0, 1, "first page header"},
        {pixels1 + 1, 0, 1, "of page 1 ended early"},
        {(pixels1 + header2) / 2, 0, 1, "of page 1 ended early"},
        {header2 - 1, 0, 1, "of page 1 ended early"},
        {header2, 1, 0, nullptr},  // cannot be told from a one-page job
        {header2 + 1, 1, 1, "after page 1"},
        // libcups reads the last 15 bytes of a compressed header ahead.
        {pixels2 - 16, 1, 1, "after page 1"},
        {pixels2 - 15, 1, 1, "after page 1"},
        {pixels2 - 1, 1, 1, "after page 1"},
        {pixels2 + 10, 1, 1, "of page 2 ended early"},
        {end - 1, 1, 1, "of page 2 ended early"},
        {end, 2, 0, nullptr},
    };
    for (const Cut& cut : cuts) {
      const FilterResult r = runFilter(printer.run("", job.stream.substr(0, cut.at)));
      const std::string where = job.name + " cut at " + std::to_string(cut.at) + "\n" +
                                r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
      EXPECT_EQ(r.termSignal, 0) << where;
      EXPECT_EQ(r.exitStatus, cut.exitStatus) << where;
      EXPECT_TRUE(r.out == prefixes[cut.pagesSent]) << where;
      if (cut.error != nullptr) {
        EXPECT_TRUE(hasErrorLine(r.err, cut.error)) << where;
      } else {
        EXPECT_FALSE(hasErrorLine(r.err, "")) << where;
      }
    }
  }
}

TEST(Hostile, UncompressedJobCutOffAnywhereSendsOnlyWholePages) {
  expectCutOffAnywhereSendsWholePages("uncompressed");
}
TEST(Hostile, CompressedJobCutOffAnywhereSendsOnlyWholePages) { expectCutOffAnywhereSendsWholePages("compressed"); }
TEST(Hostile, AppleRasterCutOffAnywhereSendsOnlyWholePages) { expectCutOffAnywhereSendsWholePages("Apple raster"); }

// Pages the printer cannot take, first and after a good page, with the job
// options given: the page gets an "ERROR: " line and not one byte of it
// reaches the printer.
void expectRefusedPagesSendNothing(const char* options) {
  PrinterFixture printer;
  const TestPage good = patternPage(64, 20, 3);
  const HandPage handGood{oneBitHeader(64, 20), std::string(good.pixels.begin(), good.pixels.end())};
  cups_page_header2_t eightBit = oneBitHeader(64, 20, 64);
  eightBit.cupsBitsPerPixel = eightBit.cupsBitsPerColor = 8;
  cups_page_header2_t noRows = oneBitHeader(64, 10);
  noRows.cupsBytesPerLine = 0;
  struct Refused {
    const char* name;
    HandPage page;
    const char* error;
    const char* turnedError = nullptr;  // when a quarter turn makes it another fault
  };
  const std::vector<Refused> pages{
      {"zero width", {oneBitHeader(0, 10, 8), std::string(80, 'x')}, "has no image"},
      {"zero height", {oneBitHeader(64, 0), ""}, "damaged"},
      {"zero bytes per line", {noRows, ""}, "damaged"},
      {"rows beyond what libcups takes", {oneBitHeader(64, 10, 0x80000000), ""}, "damaged"},
      {"rows too short", {oneBitHeader(64, 10, 4), std::string(40, 'x')}, "cannot hold"},
      {"8-bit by hand", {eightBit, std::string(64 * 20, 'x')}, "bits per pixel"},
      {"huge", {oneBitHeader(100000, 100000), std::string(5000, 'x')}, "too large"},
      {"widest", {oneBitHeader(0xFFFFFFF8, 1, 0x1FFFFFFF), ""}, "too large"},
      {"tallest", {oneBitHeader(8, 0xFFFFFFFF), ""}, "too large"},
      {"one row, too wide", {oneBitHeader(1u << 30, 1), std::string(100, 'x')}, "too large"},
  };
  {
    const std::string withGood = runFilter(printer.run(options, handRaster({handGood}))).out;
    const std::string setup = wholePagePrefixes(withGood)[0];
    const bool turned = std::string(options).find("Rotation") != std::string::npos;
    for (const Refused& refused : pages) {
      for (const bool second : {false, true}) {
        const std::string stream = second ? handRaster({handGood, refused.page}) : handRaster({refused.page});
        const FilterResult r = runFilter(printer.run(options, stream));
        const std::string where = std::string(refused.name) + (second ? " second" : " first") + " with \"" + options +
                                  "\"\n" + r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
        EXPECT_EQ(r.termSignal, 0) << where;
        EXPECT_EQ(r.exitStatus, 1) << where;
        const char* error = turned && refused.turnedError != nullptr ? refused.turnedError : refused.error;
        EXPECT_TRUE(hasErrorLine(r.err, error)) << where;
        EXPECT_TRUE(r.out == (second ? withGood : setup)) << where;
      }
    }
  }
}

// Plain and quarter-turned; one test each keeps them short under valgrind.
TEST(Hostile, RefusedPageSendsNothingOfItself) { expectRefusedPagesSendNothing(""); }
TEST(Hostile, RefusedTurnedPageSendsNothingOfItself) { expectRefusedPagesSendNothing("Rotation=1"); }
TEST(Hostile, RefusedCompressedTurnedPageSendsNothingOfItself) {
  expectRefusedPagesSendNothing("Rotation=3 CompPrinting=1");
}

// 8-bit and colour pages as libcups itself writes them.
TEST(Hostile, DeepPagesAsLibcupsWritesThemAreRefused) {
  PrinterFixture printer;
  const TestPage good = patternPage(64, 20, 3);
  for (const uint32_t bits : {8u, 24u}) {
    TestPage deep{64, 20, bits, 0, {}};
    deep.pixels.assign(size_t{bytesPerLineOf(deep)} * deep.height, 0x80);
    const FilterResult r = runFilter(printer.run("", makeRaster({good, deep})));
    EXPECT_EQ(r.exitStatus, 1) << bits;
    EXPECT_TRUE(hasErrorLine(r.err, "Page 2 has " + std::to_string(bits) + " bits per pixel")) << r.err;
    EXPECT_TRUE(endsWith(r.out, kSingleCopyPageEnd));
    EXPECT_EQ(wholePagePrefixes(r.out).size(), 2u);
  }
}

// A page that runs out of memory fails with an "ERROR: " line and not one
// byte of it reaches the printer. The filter runs under an address space
// limit, halved down to where the job only just fails: there the page's
// last buffer is the one refused (the turned image; with compression the
// payload buffer). The sanitizer and valgrind runtimes need more address
// space than such a limit leaves.
TEST(Hostile, PageOutOfMemorySendsNothingOfItself) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under AddressSanitizer";
#endif
  if (underValgrind()) GTEST_SKIP() << "under valgrind";
  PrinterFixture printer;
  const std::string job = makeRaster({patternPage(2000, 2000, 1)});
  for (const char* options : {"Rotation=1", "CompPrinting=1 RunTrace=0"}) {
    const auto runWithin = [&](uint64_t kibibytes) {
      FilterRun run = printer.run(options, job);
      run.args.insert(run.args.begin(),
                      {"-c", "ulimit -v " + std::to_string(kibibytes) + " && exec \"$0\" \"$@\"", TMK_FILTER_PATH});
      return runFilter(run, "/bin/sh");
    };
    uint64_t fails = 0, fits = uint64_t{4} << 20;
    const FilterResult whole = runWithin(fits);
    ASSERT_EQ(whole.exitStatus, 0) << options << whole.err.substr(0, 600);
    while (fits - fails > 16) {
      const uint64_t middle = (fails + fits) / 2;
      (runWithin(middle).exitStatus == 0 ? fits : fails) = middle;
    }
    const FilterResult r = runWithin(fails);
    const std::string where = std::string(options) + " within " + std::to_string(fails) + " KiB\n" +
                              r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
    EXPECT_EQ(r.exitStatus, 1) << where;
    EXPECT_TRUE(hasErrorLine(r.err, "Out of memory")) << where;
    EXPECT_TRUE(r.out == wholePagePrefixes(whole.out)[0]) << where;
  }
}

TEST(Hostile, DataAfterTheLastPageFailsTheJobAndCleanEndsDoNot) {
  PrinterFixture printer;
  const TestPage page = patternPage(100, 30, 4);
  const HandPage handPage{oneBitHeader(100, 30), std::string(page.pixels.begin(), page.pixels.end())};
  const std::string headerOfGarbage(sizeof(cups_page_header2_t) + 10, '\x5a');
  struct Stream {
    const char* name;
    std::string clean;
  };
  const std::vector<Stream> streams{
      {"version 1", handRaster({handPage}, true)},
      {"version 2 (compressed)", compressedRaster({page})},
      {"version 3", makeRaster({page})},
      {"Apple raster", compressedRaster({patternPage(104, 30, 4)}, CUPS_RASTER_WRITE_APPLE)},
  };
  for (const Stream& stream : streams) {
    for (const std::string& garbage : {std::string(), std::string("\n"), std::string("garbage"), headerOfGarbage}) {
      const std::string where = std::string(stream.name) + " + " + std::to_string(garbage.size()) + " bytes";
      const FilterResult r = runFilter(printer.run("", stream.clean + garbage));
      EXPECT_EQ(r.exitStatus, garbage.empty() ? 0 : 1) << where << r.err;
      EXPECT_EQ(hasErrorLine(r.err, "damaged or cut off after page 1"), !garbage.empty()) << where << r.err;
      EXPECT_EQ(wholePagePrefixes(r.out).size(), 2u) << where;
      EXPECT_TRUE(endsWith(r.out, kSingleCopyPageEnd)) << where;

      // The same from a print file named on the command line, clean and damaged.
      if (!garbage.empty() && garbage != headerOfGarbage) continue;
      const FilterResult fromFile = runFilter(printer.runFile(printer.dir.write("job.ras", stream.clean + garbage)));
      EXPECT_EQ(fromFile.exitStatus, r.exitStatus) << where << " from a file\n" << fromFile.err;
      EXPECT_TRUE(fromFile.out == r.out) << where << " from a file";
    }
  }
  // A two-page job read in pieces of any size ends cleanly too.
  FilterProcess filter(printer.run());
  const std::string twoPages = compressedRaster({page, patternPage(100, 30, 5)});
  for (size_t at = 0; at < twoPages.size(); at += 333) filter.write(twoPages.substr(at, 333));
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(wholePagePrefixes(r.out).size(), 3u);
}

TEST(Hostile, OutputThatCannotBeWrittenIsReported) {
  PrinterFixture printer;
  const std::string raster = makeRaster({patternPage(800, 400, 1), patternPage(800, 400, 2)});
  int gone[2];
  ASSERT_EQ(pipe(gone), 0);
  close(gone[0]);  // the printer connection went away: every write fails
  const int full = open("/dev/full", O_WRONLY);
  struct Output {
    int fd;
    const char* reason;
  };
  for (const Output& output : {Output{-1, "Bad file descriptor"}, Output{gone[1], "Broken pipe"},
                               Output{full, "No space left on device"}}) {
    if (output.fd == full && full < 0) continue;
    // valgrind would open its log on the free descriptor 1.
    if (output.fd == -1 && underValgrind()) continue;
    FilterRun run = printer.run("", raster);
    run.fds = {{1, output.fd}};
    const FilterResult r = runFilter(run);
    EXPECT_EQ(r.termSignal, 0) << output.reason;
    EXPECT_EQ(r.exitStatus, 1) << output.reason;
    EXPECT_TRUE(endsWith(r.err, std::string("ERROR: Unable to send the job to the printer: ") + output.reason + "\n"))
        << r.err;
  }
  close(gone[1]);
  if (full >= 0) close(full);
}

// A parent may leave the descriptors it shares non-blocking: reads and
// writes then fail with EAGAIN while the pipe is empty or full. The filter
// waits for them; nothing is lost or reported.
TEST(Hostile, NonBlockingInputAndOutputAreWaitedFor) {
  PrinterFixture printer;
  const std::string job = makeRaster({patternPage(1600, 400, 1), patternPage(1600, 400, 2)});
  const std::string expected = runFilter(printer.run("", job)).out;
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  fcntl(in[0], F_SETFL, O_NONBLOCK);
  fcntl(out[1], F_SETFL, O_NONBLOCK);
  FilterRun run = printer.run();
  run.fds = {{0, in[0]}, {1, out[1]}};
  FilterProcess filter(run);
  close(in[0]);
  close(out[1]);
  filter.waitUntilStarvedForInput();  // on an empty input
  std::jthread writer([&] {
    for (size_t done = 0; done < job.size();) {
      const ssize_t put = write(in[1], job.data() + done, job.size() - done);
      if (put <= 0 && errno != EINTR) break;
      done += put > 0 ? static_cast<size_t>(put) : 0;
    }
    close(in[1]);
  });
  filter.waitUntilAsleep();  // on a full output: its 64 KiB hold less than the first page
  std::string received;
  char buffer[65536];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) received.append(buffer, static_cast<size_t>(got));
    if (got < 0 && errno != EINTR) break;
  }
  close(out[0]);
  writer.join();
  const FilterResult r = filter.finish();
  EXPECT_EQ(r.exitStatus, 0) << r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
  EXPECT_FALSE(hasErrorLine(r.err, ""));
  EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size() << " bytes";
}

TEST(Hostile, BrokenPpdEndsTheJobWithAReason) {
  PrinterFixture printer;
  struct Broken {
    const char* name;
    std::string content;
    const char* reason;
  };
  const std::vector<Broken> ppds{
      {"empty", "", "Missing PPD-Adobe-4.x header on line 0"},
      {"not a PPD", "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n", "Missing asterisk in column 1 on line 1"},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "Missing asterisk in column 1 on line 1"},
  };
  for (const Broken& broken : ppds) {
    FilterRun run = printer.run("", makeRaster({patternPage(64, 8)}));
    run.ppd = printer.dir.write("broken.ppd", broken.content);
    const FilterResult r = runFilter(run);
    EXPECT_EQ(r.exitStatus, 1) << broken.name;
    EXPECT_EQ(r.out, "") << broken.name;
    EXPECT_EQ(r.err, kBanner + "ERROR: Unable to read the PPD file \"" + *run.ppd + "\": " + broken.reason + "\n" +
                         kTrace + "This printer is not supported.\n" + kNoPages)
        << broken.name;
  }
}

// Choice keywords whose numbers do not fit, are negative or are no numbers
// at all are taken as they come (the PPD is the printer maker's): the job is
// printed, nothing crashes or overflows.
TEST(Hostile, AbsurdOptionKeywordsStillPrint) {
  TestPpd ppd = fullTestPpd();
  const std::vector<std::pair<std::string, std::string>> absurd{
      {"PageSize", "99999999999999999999"}, {"Resolution", "-2147483649dpi"}, {"Darkness", "2147483648"},
      {"XMargin", "999999999"},             {"YMargin", "-999999999"},        {"BMOffset", "x12"},
      {"NumOfCopies", "4294967297"},        {"Cutter", "Custom"},             {"Rotation", "-1"},
      {"PrintSpeed", std::string(40, '9')},
  };
  for (const auto& [keyword, choice] : absurd) {
    for (PpdOption& option : ppd.options) {
      if (option.keyword == keyword) option.choices.push_back(choice);
    }
    setDefault(ppd, keyword, choice);
  }
  PrinterFixture printer(ppd);
  for (const char* options :
       {"", "PageSize=Custom.1e39x-1e39", "PageSize=Custom.nanxinf Cutter=Custom.99999999999 Rotation=1",
        "Darkness=\x01\xff XMargin==== ''=\"\""}) {
    const FilterResult r = runFilter(printer.run(options, makeRaster({patternPage(64, 16)})));
    EXPECT_EQ(r.termSignal, 0) << options;
    EXPECT_EQ(r.exitStatus, 0) << options << r.err;
    EXPECT_EQ(wholePagePrefixes(r.out).size(), 2u) << options;
  }
}

// The kernel hands a program no single argument beyond 128 KiB, so that is
// the longest options string the filter process can get; a 1 MiB one is
// read in this process.
TEST(Hostile, HugeOptionsStringsAreReadInBoundedTime) {
  PrinterFixture printer;
  std::string manyOptions;
  for (int i = 0; manyOptions.size() < 128 * 1024 - 32; ++i) manyOptions += "opt" + std::to_string(i) + "=x ";
  const std::string longValue = "Darkness=" + std::string(128 * 1024 - 32, '7');
  for (const std::string& options : {manyOptions, longValue}) {
    const FilterResult r = runFilter(printer.run(options, makeRaster({patternPage(64, 16)})));
    EXPECT_EQ(r.exitStatus, 0) << r.err.substr(0, 500);
    EXPECT_EQ(wholePagePrefixes(r.out).size(), 2u);
  }

#ifndef __SANITIZE_ADDRESS__
  // libcups grows its option list by one entry per realloc, which under the
  // sanitizer's realloc takes minutes for 1 MiB; a plain build takes a second.
  std::string megabyte;
  for (int i = 0; megabyte.size() < (1u << 20); ++i) megabyte += "o" + std::to_string(i) + "=1 ";
  ::setenv("PPD", printer.ppd.c_str(), 1);
  const auto start = std::chrono::steady_clock::now();
  settings_t settings{};
  int status = -1;
  capture([&] { status = initializeSettings(megabyte.c_str(), &settings); });
  ::unsetenv("PPD");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(settings.darkness, 10);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
#endif
}

// SIGTERM at random moments of a long job: what reached the printer is
// always the setup block and whole pages, and the status says whether a page
// was started. Leaks show in the sanitizer and valgrind runs.
TEST(Hostile, CancelAtRandomMomentsLeavesWholePages) {
  PrinterFixture printer;
  std::vector<TestPage> pages;
  for (uint32_t i = 0; i < 12; ++i) pages.push_back(patternPage(832, 600, i + 1));
  const std::string job = makeRaster(pages);
  const auto feed = [&](FilterProcess& filter) {
    // The sync word first: once the filter waits for the first page header,
    // its SIGTERM handler is in place.
    filter.write(job.substr(0, 4));
    filter.waitUntilStarvedForInput();
    return std::thread([&filter, &job] { filter.write(job.substr(4)); });
  };
  const std::string options = "CompPrinting=1";
  FilterProcess reference(printer.run(options));
  std::thread writer = feed(reference);
  const auto start = std::chrono::steady_clock::now();
  writer.join();
  const FilterResult whole = reference.finish();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(whole.exitStatus, 0) << whole.err.substr(0, 500);
  const std::vector<std::string> prefixes = wholePagePrefixes(whole.out);
  ASSERT_EQ(prefixes.size(), pages.size() + 1);

  std::mt19937 random(7);
  std::uniform_real_distribution<double> moment(0.0, seconds);
  const int runs = underValgrind() ? 6 : 30;
  for (int run = 0; run < runs; ++run) {
    const double delay = moment(random);
    FilterProcess filter(printer.run(options));
    writer = feed(filter);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    filter.signal(SIGTERM);
    writer.join();
    const FilterResult r = filter.finish();
    size_t pagesSent = 0;
    while (pagesSent < prefixes.size() && prefixes[pagesSent] != r.out) ++pagesSent;
    const std::string where = "SIGTERM after " + std::to_string(delay) + " s\n" +
                              r.err.substr(r.err.size() > 400 ? r.err.size() - 400 : 0);
    EXPECT_EQ(r.termSignal, 0) << where;
    ASSERT_LT(pagesSent, prefixes.size()) << "the output is not whole pages: " << where;
    EXPECT_EQ(r.exitStatus, pagesSent == 0 ? 1 : 0) << where;
    EXPECT_TRUE(endsWith(r.err, pagesSent == 0 ? kNoPages : kReady)) << where;
  }
}

}  // namespace
