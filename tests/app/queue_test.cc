// A printer's jobs print first in, first out, whole, across a stop and a
// crash of the app: every job a client was told is accepted prints, the
// one a stop or a crash cut short again from its start; a held job keeps
// its place, and raster jobs queue as every other format does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app_harness.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kDriver = "tamrisk_standard-203dpi";

const std::string kOnPrinter =
    "  GROUP operation-attributes-tag\n"
    "  ATTR charset attributes-charset utf-8\n"
    "  ATTR naturalLanguage attributes-natural-language en\n"
    "  ATTR uri printer-uri $uri\n";

// A document queued with Print-Job, answered but not waited for.
std::string queueJobTest(const std::string& jobAttributes = "") {
  return "{\n  OPERATION Print-Job\n" + kOnPrinter + "  ATTR mimeMediaType document-format $filetype\n"
         "  GROUP job-attributes-tag\n" +
         jobAttributes + "  FILE $filename\n  STATUS successful-ok\n}\n";
}

std::string jobTest(const std::string& operation, int job, const std::string& expectations) {
  return "{\n  OPERATION " + operation + "\n" + kOnPrinter + "  ATTR integer job-id " + std::to_string(job) +
         "\n  STATUS successful-ok\n" + expectations + "}\n";
}

// What reaches the printer until `last` has, with a deadline.
std::string receivedUntil(PretendPrinter& printer, const std::string& last) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (received.find(last) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    received += printer.take(1);
  }
  return received;
}

enum class Ending { none, stop, crash };

TEST(PrinterAppQueue, JobsPrintWholeInTheOrderTheyCameThroughAStopAndACrash) {
  if (!std::filesystem::exists(TMK_PPD_BUILD_DIR "/tmk38.ppd")) GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  // The first job is larger than what the kernel and the filter's pipes
  // hold: the printer stops reading with it in progress.
  std::string first = "JOB-A\r\n";
  while (first.size() < 2 * largestSendBuffer() + (size_t{8} << 20)) first += std::string(78, 'a') + "\r\n";
  first += "END-A\r\n";
  TempDir dir;
  const std::string firstFile = dir.write("a", first);
  // A 2 x 1 in label of stripes, as PWG raster and as Apple raster: each
  // prints as its own label width command, SW406.
  std::vector<uint8_t> stripes(size_t{406} * 203, 255);
  for (size_t y = 0; y < 203; y += 4) std::fill_n(stripes.begin() + static_cast<long>(y * 406), 406, 0);
  struct Queued {
    std::string file, format, marker;
  };
  const std::vector<Queued> others = {
      {dir.write("b", "JOB-B\r\n"), "application/vnd.tamrisk-label", "JOB-B\r\n"},
      {dir.write("c.pwg", grayRaster(CUPS_RASTER_WRITE_PWG, 406, 203, 203, {stripes})), "image/pwg-raster", "SW406"},
      {dir.write("d.urf", grayRaster(CUPS_RASTER_WRITE_APPLE, 406, 203, 203, {stripes})), "image/urf", "SW406"},
      {dir.write("e", "JOB-E\r\n"), "application/vnd.tamrisk-label", "JOB-E\r\n"},
  };

  struct Case {
    const char* name;
    Ending ending;
  };
  for (const Case& c : {Case{"running on", Ending::none}, Case{"stopped", Ending::stop},
                        Case{"killed right after the last job was accepted", Ending::crash}}) {
    SCOPED_TRACE(c.name);
    PretendPrinter printer;
    PrinterApp app(TMK_PPD_BUILD_DIR);
    ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("queue", kDriver, printer.uri())).status, 0) << app.log();
    printer.holdAfter(size_t{1} << 20);
    const auto send = [&](const std::string& file, const std::string& format, const std::string& attributes = "") {
      const IppResult sent = ipptool(app.printerUri("queue"), queueJobTest(attributes),
                                     {"-f", file, "-d", "filetype=" + format});
      EXPECT_EQ(sent.status, 0) << sent.output;
    };
    send(firstFile, "application/vnd.tamrisk-label");
    ASSERT_TRUE(printer.waitUntilHeld()) << app.log();
    // Job 3 held, and released once the others wait behind it.
    send(others[0].file, others[0].format);
    send(others[1].file, others[1].format, "  ATTR keyword job-hold-until indefinite\n");
    send(others[2].file, others[2].format);
    EXPECT_EQ(ipptool(app.printerUri("queue"), jobTest("Release-Job", 3, "")).status, 0);
    send(others[3].file, others[3].format);
    if (c.ending != Ending::none) {
      const auto stopping = std::chrono::steady_clock::now();
      app.end(c.ending == Ending::stop ? SIGTERM : SIGKILL);
      EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count(), 10.0);
      app.start();
    }
    printer.release();
    const std::string received = receivedUntil(printer, others.back().marker);
    // From the job's last start, the first job whole, then the others in
    // the order they came, each once.
    const size_t start = received.rfind("JOB-A\r\n");
    ASSERT_NE(start, std::string::npos) << app.log();
    EXPECT_EQ(received.compare(start, first.size(), first), 0) << "the first job is not whole";
    size_t at = start + first.size();
    for (const Queued& job : others) {
      const size_t found = received.find(job.marker, at);
      EXPECT_NE(found, std::string::npos) << job.format << " job missing or out of order";
      if (found != std::string::npos) at = found + job.marker.size();
    }
    for (int job = 1; job <= 5; ++job) {
      const IppResult ended =
          ipptool(app.printerUri("queue"),
                  jobTest("Get-Job-Attributes", job,
                          "  EXPECT job-state WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 600\n  DELAY \"0,0.05\"\n") +
                      jobTest("Get-Job-Attributes", job, "  EXPECT job-state WITH-VALUE 9\n"));
      EXPECT_EQ(ended.status, 0) << "job " << job << ": " << ended.output << app.log();
    }
  }
}

}  // namespace
