// What one job, and the clients, may take of the host running the app, with
// small limits: documents of at most 1 MiB, two jobs a printer, 2 s for a
// canceled job's processes to end, 8 clients at once. Whoever reaches the
// app's port controls the documents.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app_harness.h"
#include "jpeg_scans.h"
#include "support/temp_dir.h"

namespace {

constexpr size_t kDocumentLimit = size_t{1} << 20;
constexpr int kKillDelaySeconds = 2;
constexpr int kClients = 16;

class PrinterAppBoundsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists(std::string(TMK_PPD_BUILD_DIR) + "/tmk38.ppd")) return;
    printer_ = std::make_unique<PretendPrinter>();
    app_ = std::make_unique<PrinterApp>(TMK_PPD_BUILD_DIR, "",
                                        std::vector<std::string>{"-o", "max-document-size=1", "-o",
                                                                 "max-active-jobs=2", "-o",
                                                                 "job-kill-delay=" + std::to_string(kKillDelaySeconds),
                                                                 "-o", "max-clients=" + std::to_string(kClients)});
  }
  static void TearDownTestSuite() {
    app_.reset();
    printer_.reset();
  }
  void SetUp() override {
    if (app_ == nullptr) GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  }

  static void addPrinter(const std::string& name, const std::string& driver = "tamrisk_standard-203dpi") {
    const IppResult created = ipptool(app_->systemUri(), createPrinterTest(name, driver, printer_->uri()));
    ASSERT_EQ(created.status, 0) << created.output;
  }

  static IppResult send(const std::string& name, const std::string& test, const std::string& format,
                        const std::string& document, const std::vector<std::string>& options = {}) {
    TempDir dir;
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-f", dir.write("document", document), "-d", "filetype=" + format});
    return ipptool(app_->printerUri(name), test, args);
  }

  static std::unique_ptr<PretendPrinter> printer_;
  static std::unique_ptr<PrinterApp> app_;
};

std::unique_ptr<PretendPrinter> PrinterAppBoundsTest::printer_;
std::unique_ptr<PrinterApp> PrinterAppBoundsTest::app_;

// A Print-Job answered with `status` and `expectations`, not waited for.
std::string submitTest(const std::string& status, const std::string& jobAttributes = "",
                       const std::string& expectations = "") {
  return "{\n  NAME \"Print-Job\"\n  OPERATION Print-Job\n"
         "  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n"
         "  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri printer-uri $uri\n"
         "  ATTR name requesting-user-name test\n"
         "  ATTR mimeMediaType document-format $filetype\n"
         "  GROUP job-attributes-tag\n" +
         jobAttributes + "  FILE $filename\n  STATUS " + status + "\n" + expectations + "}\n";
}

struct DocumentCase {
  const char* name;
  size_t bytes;
  const char* transfer;  // ipptool's: chunked, or with a Content-Length
  const char* format = "application/vnd.tamrisk-label";
};

// The limit holds however the document comes; a client learns it from the
// printer and, past it, from the answer, and the spool keeps nothing of it.
TEST_F(PrinterAppBoundsTest, DocumentsOverTheLimitAreRefusedAndLeaveNothingInTheSpool) {
  addPrinter("spool");
  // PDF is offered where the prefilters are installed.
  const IppResult told = ipptool(app_->printerUri("spool"), printerAttributesTest("all", ""), {"-v"});
  for (const std::string attribute : {"job-k-octets-supported", "pdf-k-octets-supported", "jpeg-k-octets-supported"}) {
    if (attribute.starts_with("pdf") && told.output.find(attribute) == std::string::npos) continue;
    EXPECT_NE(told.output.find(attribute + " (rangeOfInteger) = 0-1024\n"), std::string::npos) << told.output;
  }
  const DocumentCase cases[] = {
      {"a byte over, chunked", kDocumentLimit + 1, "-c"},
      {"a byte over, its length told", kDocumentLimit + 1, "-L"},
      {"at the limit", kDocumentLimit, "-L"},
      // Spooled too, though PAPPL would read it as it comes.
      {"PWG raster a byte over, chunked", kDocumentLimit + 1, "-c", "image/pwg-raster"},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    const bool over = c.bytes > kDocumentLimit;
    const std::string document(c.bytes, 'x');
    const IppResult sent =
        over ? send("spool", submitTest("client-error-request-entity-too-large", "",
                                        "  EXPECT status-message WITH-VALUE \"/larger than the limit of 1 MiB/\"\n"),
                    c.format, document, {c.transfer})
             : send("spool", printJobTest(""), c.format, document, {c.transfer});
    EXPECT_EQ(sent.status, 0) << sent.output << app_->log();
    // The filter passes a command file on with CR LF.
    if (!over) {
      EXPECT_EQ(printer_->take(c.bytes + 2).size(), c.bytes + 2);
    }
    EXPECT_EQ(app_->spooled(), 0u);
  }
  EXPECT_TRUE(app_->running());
}

// Jobs held (or printing, or waiting) count: past the limit a client is told
// to come back, and is let in once one has gone. The limit is the server's,
// whatever the state file of an earlier version says (PAPPL keeps one per
// printer, which was unlimited).
TEST_F(PrinterAppBoundsTest, APrinterTakesNoMoreJobsThanItsLimit) {
  addPrinter("busy");
  const std::string commands = "SL203,24,G\r\nSOT\r\nP1\r\n";
  const std::string held = "  ATTR keyword job-hold-until indefinite\n";
  const std::string cancelJobs =
      "{\n  OPERATION Cancel-Jobs\n"
      "  GROUP operation-attributes-tag\n"
      "  ATTR charset attributes-charset utf-8\n"
      "  ATTR naturalLanguage attributes-natural-language en\n"
      "  ATTR uri printer-uri $uri\n"
      "  ATTR name requesting-user-name test\n"
      "  STATUS successful-ok\n"
      "}\n";
  for (const bool restarted : {false, true}) {
    SCOPED_TRACE(restarted ? "restarted from an unlimited state" : "as made");
    if (restarted) {
      app_->stop();
      const std::string file = app_->home() + "/app.state";
      std::string state = readFile(file);
      const size_t at = state.find("MaxActiveJobs 2\n");
      ASSERT_NE(at, std::string::npos) << state;
      state.replace(at, 16, "MaxActiveJobs 0\n");
      std::ofstream(file, std::ios::trunc) << state;
      app_->start();
    }
    for (int job = 0; job < 2; ++job) {
      EXPECT_EQ(send("busy", submitTest("successful-ok", held), "application/vnd.tamrisk-label", commands).status, 0);
    }
    const IppResult refused = send(
        "busy",
        submitTest("server-error-busy", "", "  EXPECT status-message WITH-VALUE \"/2 jobs, as many as it takes/\"\n"),
        "application/vnd.tamrisk-label", commands);
    EXPECT_EQ(refused.status, 0) << refused.output;
    EXPECT_EQ(ipptool(app_->printerUri("busy"), cancelJobs).status, 0);
    const IppResult next = send("busy", printJobTest(""), "application/vnd.tamrisk-label", commands);
    EXPECT_EQ(next.status, 0) << next.output << app_->log();
    EXPECT_EQ(printer_->take(commands.size() + 2), commands + "\r\n");
  }
}

// A connection that sends nothing keeps its place for PAPPL's wait of 30 s.
// One local user (or another host) holds at most a quarter of the app's
// clients: past that its connections are closed as they come, while other
// users and the command line are served; once its own end, it is served
// again.
TEST_F(PrinterAppBoundsTest, NoOneClientKeepsTheOthersOut) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's connection needs root";
  std::vector<int> idle;
  for (int i = 0; i < kClients; ++i) idle.push_back(loopbackConnection(app_->port()));
  // Those past the share are closed as the app takes them; the others it
  // keeps for 30 s. (A connection of the test's that the app has not seen
  // end yet may still count in the share.)
  std::vector<pollfd> ends;
  for (const int fd : idle) ends.push_back({fd, POLLIN, 0});
  int closed = 0;
  auto quiet = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < quiet) {
    if (poll(ends.data(), ends.size(), 100) <= 0) continue;
    for (pollfd& end : ends) {
      char byte = 0;
      if (end.revents != 0 && read(end.fd, &byte, 1) == 0) {
        ++closed;
        end.fd = -1;
        quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      }
    }
  }
  EXPECT_GE(closed, kClients - kClients / 4);
  EXPECT_LT(closed, kClients) << "none kept";
  int status = 0;
  asUser(65534, [&] { status = app_->web("/").status; });
  EXPECT_EQ(status, 200);
  EXPECT_EQ(app_->command({"printers"}).status, 0);
  for (const int fd : idle) close(fd);
  // Once the app has seen them end, the user is served again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (app_->web("/").status != 200 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(app_->web("/").status, 200);
}

std::string bigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  return bigEndian(static_cast<uint32_t>(data.size())) + body + bigEndian(static_cast<uint32_t>(crc));
}

// A PNG of `width` x `height` gray pixels that is a header only: the image
// data is left out, as a decoder must not get that far.
std::string pngHeader(uint32_t width, uint32_t height) {
  const std::string grayNoInterlace("\x08\x00\x00\x00\x00", 5);
  return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", bigEndian(width) + bigEndian(height) + grayNoInterlace) +
         pngChunk("IDAT", "") + pngChunk("IEND", "");
}

// A JPEG cut after the header of its first scan: a decoder must not get
// further.
std::string jpegHeader(const std::string& jpeg) {
  const size_t scan = jpeg.find("\xFF\xDA");
  return jpeg.substr(0, scan + 2 + (static_cast<uint8_t>(jpeg[scan + 2]) << 8 | static_cast<uint8_t>(jpeg[scan + 3])));
}

struct ImageCase {
  const char* name;
  const char* format;
  std::string document;
  const char* says;    // the job-state-message, a regular expression
  const char* reason;  // the job-state-reason
};

// An image is decoded whole: one larger than a label needs is refused
// unread, so is a progressive JPEG whose coefficients with its pixels would
// pass 64 MiB, a JPEG once its scans pass 500, and a damaged one ends its
// job, each with the reason; so does a raster document cut off within a
// page, whose part page stays unprinted.
TEST_F(PrinterAppBoundsTest, DocumentsThePrinterCannotTakeEndAbortedWithTheReason) {
  // A printer of its own: what the cut document's whole page printed is
  // nobody else's to take.
  const PretendPrinter printer;
  const IppResult created =
      ipptool(app_->systemUri(), createPrinterTest("images", "tamrisk_standard-203dpi", printer.uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  const std::string damaged = png(406, 203, std::vector<uint8_t>(size_t{406} * 203, 0));
  std::vector<uint8_t> stripes(size_t{406} * 203, 255);
  for (size_t y = 0; y < 203; y += 4) std::fill_n(stripes.begin() + static_cast<long>(y * 406), 406, 0);
  const std::string twoPages = grayRaster(CUPS_RASTER_WRITE_PWG, 406, 203, 203, {stripes, stripes});
  const ImageCase cases[] = {
      {"30000 x 30000 PNG", "image/png", pngHeader(30000, 30000),
       "^The image is 30000 x 30000 pixels, larger than the 8192 x 8192 the printer takes[.]$",
       "document-unprintable-error"},
      {"damaged PNG", "image/png", damaged.substr(0, damaged.size() / 2), "^The PNG image cannot be read: ",
       "document-format-error"},
      {"8193 pixels wide JPEG", "image/jpeg", jpeg(8193, 8, std::vector<uint8_t>(size_t{8193} * 8, 255)),
       "^The image is 8193 x 8 pixels", "document-unprintable-error"},
      // 16 MiB of pixels and 48.2 MiB of coefficients: the luma's and, at
      // a quarter each, two chromas'.
      {"progressive color JPEG 16 rows past 64 MiB, its header only", "image/jpeg",
       jpegHeader(jpeg(4096, 4112, std::vector<uint8_t>(size_t{4096} * 4112, 255), JpegCoding::ProgressiveColor)),
       "^The progressive JPEG image needs 65 MiB to decode, more than the 64 MiB the printer takes[.]$",
       "document-unprintable-error"},
      {"JPEG of 5000 scans", "image/jpeg",
       withScans(jpeg(406, 203, std::vector<uint8_t>(size_t{406} * 203, 255), JpegCoding::Progressive), 5000),
       "^The JPEG image has more than the 500 scans the printer takes[.]$", "document-unprintable-error"},
      {"PWG raster cut within its second page", "image/pwg-raster", twoPages.substr(0, twoPages.size() - 100),
       "^The raster document ends or is damaged within page 2[.]$", "document-format-error"},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const IppResult printed = send("images",
                                   printJobTest("", "  EXPECT job-state WITH-VALUE 8\n"
                                                    "  EXPECT job-state-message WITH-VALUE \"/" +
                                                        std::string(c.says) +
                                                        "/\"\n"
                                                        "  EXPECT job-state-reasons WITH-VALUE " +
                                                        c.reason + "\n"),
                                   c.format, c.document);
    EXPECT_EQ(printed.status, 0) << printed.output;
  }
  EXPECT_TRUE(app_->running());
}

struct HeldJob {
  const char* name;
  const char* driver;
  const char* format;
  std::string document;
  std::string attributes;
  size_t printerTakes;  // before it stops reading; SIZE_MAX, it reads on
  double endsWithin;    // seconds after the cancel
};

// A printer that stops reading holds the filter, and the job with it; a
// JPEG whose every scan is a pass over a large image holds the job's thread
// in the decoder. Once canceled, the job ends, by the kill delay
// with its filter gone, at once from the decoder, and the job queued behind
// it prints over a new connection.
TEST_F(PrinterAppBoundsTest, ACanceledJobEndsThoughThePrinterStopsReadingOrItsImageTakesLong) {
  // Labels of a megabyte each (4 x 6 in at 600 dpi, uncompressed), more
  // than the kernel, the pipes and the filter hold between the app and the
  // printer.
  constexpr uint32_t kWidth = 2400, kHeight = 3600;
  std::vector<uint8_t> stripes(size_t{kWidth} * kHeight, 255);
  for (size_t y = 0; y < kHeight; y += 16) std::fill_n(stripes.begin() + static_cast<long>(y * kWidth), kWidth, 0);
  const size_t labels = 4 + (largestSendBuffer() + (size_t{1} << 20)) / (kWidth / 8 * kHeight);
  // The largest progressive gray image within 64 MiB, its pixels and its
  // coefficients, in as many scans as taken: some 7 s of one processor.
  constexpr uint32_t kImageWidth = 4096, kImageHeight = 5456;
  const HeldJob cases[] = {
      {"the printer stops reading", "tamrisk_standard-600dpi", "image/pwg-raster",
       grayRaster(CUPS_RASTER_WRITE_PWG, kWidth, kHeight, 600, std::vector<std::vector<uint8_t>>(labels, stripes)),
       "  ATTR keyword media na_index-4x6_4x6in\n"
       "  ATTR boolean label-compression false\n",
       kWidth / 8 * kHeight, kKillDelaySeconds + 10.0},
      {"a JPEG of 500 scans", "tamrisk_standard-203dpi", "image/jpeg",
       withScans(jpeg(kImageWidth, kImageHeight, std::vector<uint8_t>(size_t{kImageWidth} * kImageHeight, 255),
                      JpegCoding::Progressive),
                 500),
       "", SIZE_MAX, 3.0},
  };
  int number = 0;
  for (const HeldJob& c : cases) {
    SCOPED_TRACE(c.name);
    PretendPrinter printer;
    const std::string name = "held" + std::to_string(++number);
    const IppResult created = ipptool(app_->systemUri(), createPrinterTest(name, c.driver, printer.uri()));
    ASSERT_EQ(created.status, 0) << created.output;
    printer.holdAfter(c.printerTakes);
    std::chrono::steady_clock::time_point ended;
    IppResult first;
    std::thread printing([&] {
      first = send(name,
                   printJobTest(c.attributes, "  EXPECT job-state WITH-VALUE 7\n"
                                              "  EXPECT job-state-message WITH-VALUE \"Job canceled.\"\n"),
                   c.format, c.document);
      ended = std::chrono::steady_clock::now();
    });
    const bool held = c.printerTakes == SIZE_MAX ? app_->waitUntilBusy(1.0)
                                                 : printer.waitUntilHeld() && app_->waitUntilBlockedOnAPipe();
    EXPECT_TRUE(held) << "the job was not held";
    const auto canceled = std::chrono::steady_clock::now();
    const IppResult cancel = ipptool(app_->printerUri(name), cancelJobTest());
    // Queued while the canceled job ends; a command file is spooled as it is.
    const std::string commands = "SL203,24,G\r\nSOT\r\nP1\r\n";
    IppResult second;
    std::thread queued([&] { second = send(name, printJobTest(""), "application/vnd.tamrisk-label", commands); });
    printing.join();
    queued.join();
    EXPECT_EQ(cancel.status, 0) << cancel.output;
    EXPECT_EQ(first.status, 0) << first.output << app_->log();
    EXPECT_LT(std::chrono::duration<double>(ended - canceled).count(), c.endsWithin);
    EXPECT_EQ(second.status, 0) << second.output << app_->log();
    EXPECT_EQ(app_->children(), 0) << "a filter is left behind";

    printer.release();
    const std::string received = printer.take(SIZE_MAX);
    EXPECT_NE(received.find(commands + "\r\n"), std::string::npos) << "the queued job did not reach the printer";
  }
  EXPECT_TRUE(app_->running());
}

// A PDF of `pages` 4 x 6 in labels, each a frame.
std::string labelsPdf(int pages) {
  const std::string frame = "4 w 10 10 268 412 re S";
  std::vector<std::string> objects{"<< /Type /Catalog /Pages 2 0 R >>", "",
                                   "<< /Length " + std::to_string(frame.size()) + " >>\nstream\n" + frame +
                                       "\nendstream"};
  std::string kids;
  for (int page = 0; page < pages; ++page) {
    kids += std::to_string(objects.size() + 1) + " 0 R ";
    objects.emplace_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Contents 3 0 R >>");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
  std::string pdf = "%PDF-1.4\n", xref = "0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    std::array<char, 24> entry{};
    std::snprintf(entry.data(), entry.size(), "%010zu 00000 n \n", pdf.size());
    xref += entry.data();
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::string count = std::to_string(objects.size() + 1);
  return pdf + "xref\n0 " + count + "\n" + xref + "trailer\n<< /Size " + count + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(pdf.size()) + "\n%%EOF\n";
}

// A PDF job's processes end with the app that started them, stopped or
// killed, even when nothing they do meets the app's end: pdftopdf laying out
// a document of many pages (20000 take it seconds of processor time), or the
// filter held by a printer that stops reading, gstoraster and Ghostscript
// waiting for the app to take their pages.
TEST(PrinterAppEnd, AnEndedAppLeavesNoProcessOfItsJobs) {
  if (!std::filesystem::exists(std::string(TMK_PPD_BUILD_DIR) + "/tmk38.ppd")) GTEST_SKIP() << "no generated PPDs";
  if (!std::filesystem::exists(std::string(TMK_CUPS_SERVERBIN) + "/filter/gstoraster")) GTEST_SKIP() << "no PDF";
  struct Case {
    const char* name;
    int pages;
    bool held;
    size_t processes;  // under the app when it ends, at least
    int signal;        // that ends it
  };
  // 4 x 6 in labels of a megabyte each at 600 dpi, uncompressed: more than
  // the kernel holds between the app and the printer.
  const int enough = 4 + static_cast<int>((largestSendBuffer() + (size_t{1} << 20)) / (2400 / 8 * 3600));
  for (const Case& c : {Case{"rendering, killed", 20000, false, 2, SIGKILL},
                        Case{"held, killed", enough, true, 3, SIGKILL}, Case{"held, stopped", enough, true, 3, SIGTERM}}) {
    SCOPED_TRACE(c.name);
    PretendPrinter printer;
    if (c.held) printer.holdAfter(0);
    PrinterApp app(TMK_PPD_BUILD_DIR);
    ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("labels", "tamrisk_standard-600dpi", printer.uri())).status, 0)
        << app.log();
    TempDir dir;
    const std::string document = dir.write("labels.pdf", labelsPdf(c.pages));
    std::thread job([&] {
      ipptool(app.printerUri("labels"),
              printJobTest("  ATTR keyword media na_index-4x6_4x6in\n  ATTR boolean label-compression false\n"),
              {"-f", document, "-d", "filetype=application/pdf"});
    });
    if (c.held) {
      EXPECT_TRUE(printer.waitUntilHeld() && app.waitUntilBlockedOnAPipe()) << app.log();
    }
    const auto started = std::chrono::steady_clock::now();
    std::vector<ProcessId> processes;
    while ((processes = app.descendants()).size() < c.processes &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(30)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(processes.size(), c.processes) << app.log();

    app.end(c.signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string left;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      left.clear();
      for (const ProcessId& process : processes) {
        if (alive(process)) left += " " + readFile("/proc/" + std::to_string(process.pid) + "/comm");
      }
    } while (!left.empty() && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(left, "") << "still running after the app ended";
    printer.release();
    job.join();
  }
}

}  // namespace
