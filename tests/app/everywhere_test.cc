// The printer application as an IPP Everywhere printer: CUPS's IPP
// Everywhere test file (with the IPP/1.1 and IPP/2.0 files it includes),
// where every failure is one of those explained below, each a limit of
// PAPPL 1.3.1 or of that test file; Identify-Printer; and PDF sent straight
// to the app, as a phone sends it, which the prefilters a CUPS queue runs
// render, so that it reaches the printer as exactly the bytes cupsfilter
// makes of the same PDF with the same PPD and options, while a PDF that
// cannot be rendered fails its job with a message and sends nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app_harness.h"
#include "support/filter_process.h"
#include "support/label_stream.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Explained {
  const char* test;         // as ipptool names it
  const char* expectation;  // the start of its "EXPECTED:" line
  const char* reason;
};

constexpr Explained kExplained[] = {
    // PAPPL 1.3.1 counts printer-up-time in whole seconds from 0 at the
    // printer's creation, where RFC 8011 wants 1 or more: it fails when the
    // test comes within a second of Create-Printer.
    {"RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)", "printer-up-time WITH-VALUE",
     "PAPPL 1.3.1: printer-up-time starts at 0"},
    // PAPPL 1.3.1 leaves the ipps: URI out of printer-uri-supported for a
    // client on the loopback interface but keeps "none,tls" in
    // uri-security-supported.
    {"RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)",
     "printer-uri-supported (1 values) SAME-COUNT-AS uri-security-supported (2 values)",
     "PAPPL 1.3.1: no ipps: URI for loopback clients"},
    {"RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)",
     "uri-security-supported (2 values) SAME-COUNT-AS uri-authentication-supported (1 values)",
     "PAPPL 1.3.1: no ipps: URI for loopback clients"},
    // PAPPL 1.3.1 lists a job's reasons only up to warnings-detected: a job
    // held by job-hold-until, whose one reason is the hold itself, gets no
    // job-state-reasons at all.
    {"Print-Job with job-hold-until", "job-state-reasons", "PAPPL 1.3.1: a held job's reason is never listed"},
    // The regular expression of CUPS 2.4.2's ipp-2.0.test takes no dot in
    // the name part of a media name ("oe_1.5x1-label_1.5x1in"); PWG 5101.1
    // allows it, LPrint uses such names, and later CUPS fixed the
    // expression.
    {"PWG 5100.12 section 6.2 - Required Printer Description Attributes", "media-supported WITH-ALL-VALUES",
     "CUPS 2.4.2's media name expression"},
    // PAPPL 1.3.1 takes no "overrides" job attribute.
    {"PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes", "overrides-supported",
     "PAPPL 1.3.1: no page overrides"},
    // PAPPL 1.3.1 reports supplies as CUPS's marker-* attributes only, and
    // these printers tell no supply level, only media-empty and ribbon-out
    // as printer-state-reasons.
    {"PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes", "printer-supply",
     "PAPPL 1.3.1: no printer-supply"},
};

const Explained* explanation(const std::string& test, const std::string& expectation) {
  for (const Explained& e : kExplained) {
    if (test == e.test && expectation.rfind(e.expectation, 0) == 0) return &e;
  }
  return nullptr;
}

// Every FILE a test file and those it includes name.
void namedFiles(const fs::path& testFile, std::set<std::string>* files) {
  std::ifstream in(testFile);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string keyword, value;
    words >> keyword >> value;
    if (keyword == "FILE" && !value.empty() && value[0] != '$') files->insert(value);
    if (keyword == "INCLUDE" && value.size() > 2) {
      namedFiles(testFile.parent_path() / value.substr(1, value.size() - 2), files);  // without its quotes
    }
  }
}

// A test's name and verdict from ipptool's line for it; nothing for other
// lines.
std::optional<std::pair<std::string, std::string>> verdictOf(const std::string& line) {
  if (line.size() < 12 || line.compare(0, 4, "    ") != 0 || line[4] == ' ' || line.back() != ']') return std::nullopt;
  const std::string verdict = line.substr(line.size() - 6);
  if (verdict != "[PASS]" && verdict != "[FAIL]" && verdict != "[SKIP]") return std::nullopt;
  const size_t end = line.find_last_not_of(' ', line.size() - 7);
  return std::make_pair(line.substr(4, end - 3), verdict.substr(1, 4));
}

// What Ghostscript makes of `postscript` on its `device` (e.g. "pdfwrite",
// "jpeg"), on a page `width` by `height` points; `options` go to gs too.
std::string ghostscript(const std::string& postscript, const std::string& device, int width, int height,
                        const std::vector<std::string>& options = {}) {
  TempDir dir;
  FilterRun run;
  run.args = {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + device,
              "-dDEVICEWIDTHPOINTS=" + std::to_string(width), "-dDEVICEHEIGHTPOINTS=" + std::to_string(height),
              "-dFIXEDMEDIA"};
  run.args.insert(run.args.end(), options.begin(), options.end());
  run.args.push_back("-sOutputFile=" + dir.path() + "/out");
  run.args.push_back(dir.write("in.ps", postscript));
  const FilterResult result = runFilter(run, TMK_GS);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  return readFile(dir.path() + "/out");
}

// Labels that show where their edges, top-left corner and number went: a
// frame, a black and a gray square, and one bar per page number.
constexpr const char* kLabels = R"(%!PS
/w currentpagedevice /PageSize get 0 get def
/h currentpagedevice /PageSize get 1 get def
1 1 PAGES {
  /n exch def
  0 setgray 2 setlinewidth 1 1 w 2 sub h 2 sub rectstroke
  6 h 22 sub 16 16 rectfill
  0.5 setgray 28 h 22 sub 16 16 rectfill 0 setgray
  1 1 n { 8 mul 40 add 8 4 20 rectfill } for
  showpage
} for
)";

std::string pdf(int width, int height, int pages) {
  return ghostscript(kLabels, "pdfwrite", width, height, {"-dPAGES=" + std::to_string(pages)});
}

// What the tests share: the app, its pretend printer, and a ServerBin for
// cupsfilter with the stock filters and ours.
struct Shared {
  Shared() {
    const std::string filters = serverBin.path() + "/filter";
    fs::create_directory(filters);
    for (const auto& entry : fs::directory_iterator(std::string(TMK_CUPS_SERVERBIN) + "/filter")) {
      fs::create_symlink(entry.path(), filters / entry.path().filename());
    }
    fs::copy_file(TMK_FILTER_PATH, filters + "/rastertoTmkLabel");
    serverBin.write("cups-files.conf", "");
  }

  PretendPrinter printer;
  PrinterApp app{TMK_PPD_BUILD_DIR};
  TempDir serverBin;
};

class EverywhereTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The generated PPDs, whose filter line cupsfilter follows.
    if (fs::exists(std::string(TMK_PPD_BUILD_DIR) + "/tmk38.ppd")) shared_ = std::make_unique<Shared>();
  }
  static void TearDownTestSuite() { shared_.reset(); }
  void SetUp() override {
    if (shared_ == nullptr) GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  }

  // What the CUPS path makes of `document`: the stock prefilters and our
  // filter, run by cupsfilter with the model's PPD and `options`.
  static std::string cupsfilter(const std::string& document, int model, const std::string& options) {
    TempDir dir;
    FilterRun run;
    const std::string serverBin = shared_->serverBin.path();
    run.args = {"CUPS_SERVERBIN=" + serverBin, TMK_CUPSFILTER, "-c", serverBin + "/cups-files.conf", "-p",
                std::string(TMK_PPD_BUILD_DIR) + "/tmk" + std::to_string(model) + ".ppd", "-e", "-m", "printer/tmk"};
    std::istringstream words(options);
    for (std::string option; words >> option;) run.args.insert(run.args.end(), {"-o", option});
    run.args.push_back(dir.write("document.pdf", document));
    const FilterResult result = runFilter(run, "/usr/bin/env");
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
  }

  static IppResult print(const std::string& name, const std::string& document, const std::string& test) {
    TempDir dir;
    return ipptool(app().printerUri(name), test,
                   {"-f", dir.write("document.pdf", document), "-d", "filetype=application/pdf"});
  }

  static PrinterApp& app() { return shared_->app; }
  static PretendPrinter& printer() { return shared_->printer; }

  static std::unique_ptr<Shared> shared_;
};

std::unique_ptr<Shared> EverywhereTest::shared_;

TEST_F(EverywhereTest, EveryFailureIsExplained) {
  // A printer of its own for the suite's jobs, which the other tests' bytes
  // must not meet.
  PretendPrinter ownPrinter;
  const IppResult created =
      ipptool(app().systemUri(), createPrinterTest("everywhere", "tamrisk_standard-203dpi", ownPrinter.uri()));
  ASSERT_EQ(created.status, 0) << created.output;

  // ipptool 2.4.2 gives up a whole test file at a FILE it cannot read, even
  // in a test it skips. Debian ships none of the documents: the JPEGs that
  // the 4 x 6 in tests print are made here, the others (A4, Letter, and
  // PWG raster at resolutions and types the printer does not take) are
  // only ever skipped, and empty.
  TempDir documents;
  std::set<std::string> files;
  namedFiles(TMK_IPP_EVERYWHERE_TEST, &files);
  ASSERT_FALSE(files.empty());
  for (const std::string& name : files) {
    fs::create_directories(fs::path(documents.path() + "/" + name).parent_path());
    documents.write(name, "");
  }
  const std::string picture =
      "%!PS\n0.2 setgray 20 20 100 100 rectfill 0.6 setgray 150 300 100 100 rectfill showpage\n";
  documents.write("color.jpg", ghostscript(picture, "jpeg", 288, 432, {"-r50"}));
  documents.write("gray.jpg", ghostscript(picture, "jpeggray", 288, 432, {"-r50"}));
  // The document of the plain Print-Job tests: a label as PDF, which the
  // app renders itself. (With a JPEG, PAPPL 1.3.1's own JPEG filter opens
  // the file of a job canceled as it starts by a null name.)
  documents.write("label.pdf", pdf(144, 72, 1));

  FilterRun run;
  run.args = {"-C", documents.path(), TMK_IPPTOOL, "-tI", "-f", "label.pdf", app().printerUri("everywhere"),
              TMK_IPP_EVERYWHERE_TEST};
  const FilterResult result = runFilter(run, "/usr/bin/env");
  EXPECT_EQ(result.err.find("ipptool:"), std::string::npos) << result.err;

  std::map<std::string, int> counts;
  std::string failing;  // the test whose lines follow
  std::vector<std::string> unexplained;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (const auto verdict = verdictOf(line)) {
      ++counts[verdict->second];
      failing = verdict->second == "FAIL" ? verdict->first : "";
    } else if (const size_t at = line.find("EXPECTED: "); !failing.empty() && at != std::string::npos) {
      const std::string expectation = line.substr(at + 10);
      if (explanation(failing, expectation) == nullptr) unexplained.push_back(failing + ": " + expectation);
    }
  }
  std::cout << "ipp-everywhere.test: " << counts["PASS"] << " passed, " << counts["FAIL"] << " failed (explained), "
            << counts["SKIP"] << " skipped\n";
  // The whole file ran, its IPP/1.1 and IPP/2.0 tests and its own 433, and
  // passed where it did with PAPPL 1.3.1 and CUPS 2.4.2.
  EXPECT_GE(counts["PASS"] + counts["FAIL"] + counts["SKIP"], 500) << result.out;
  EXPECT_GE(counts["PASS"], 32) << result.out;
  for (const std::string& failure : unexplained) ADD_FAILURE() << "unexplained: " << failure;
  if (!unexplained.empty()) std::cout << result.out;
  // The suite's jobs printed before their printer goes.
  const std::string idleState =
      "  EXPECT printer-state WITH-VALUE 3 REPEAT-NO-MATCH REPEAT-LIMIT 600\n"
      "  DELAY \"0,0.05\"\n";
  const IppResult idle = ipptool(app().printerUri("everywhere"), printerAttributesTest("printer-state", idleState));
  EXPECT_EQ(idle.status, 0) << idle.output;
}

// The printer has no display: "display", its one identify action, writes
// the message to its log.
TEST_F(EverywhereTest, IdentifyPrinterWritesTheMessageToTheLog) {
  const IppResult created =
      ipptool(app().systemUri(), createPrinterTest("identified", "tamrisk_status-300dpi", printer().uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  const std::string expectations =
      "  EXPECT identify-actions-supported WITH-ALL-VALUES display\n"
      "  EXPECT identify-actions-default WITH-ALL-VALUES display\n";
  EXPECT_EQ(ipptool(app().printerUri("identified"),
                    printerAttributesTest("identify-actions-supported,identify-actions-default", expectations))
                .status,
            0);
  const std::string identify =
      "{\n  OPERATION Identify-Printer\n"
      "  GROUP operation-attributes-tag\n"
      "  ATTR charset attributes-charset utf-8\n"
      "  ATTR naturalLanguage attributes-natural-language en\n"
      "  ATTR uri printer-uri $uri\n"
      "  ATTR keyword identify-actions display\n"
      "  ATTR text message \"Label printer by the door\"\n"
      "  STATUS successful-ok\n"
      "}\n";
  const IppResult identified = ipptool(app().printerUri("identified"), identify);
  EXPECT_EQ(identified.status, 0) << identified.output;
  EXPECT_NE(app().log().find("[Printer identified] Identify-Printer: Label printer by the door"), std::string::npos)
      << app().log();
}

struct PdfCase {
  const char* printer;
  const char* driver;
  int model;
  int width, height, pages;  // of the PDF, in points
  const char* attributes;    // of the job, as ipptool ATTR lines
  const char* options;       // the same for cupsfilter
  size_t labels;             // printed
};

TEST_F(EverywhereTest, PdfReachesThePrinterAsTheCupsPathWritesIt) {
  const PdfCase cases[] = {
      {"pdf-label", "tamrisk_standard-203dpi", 38, 144, 72, 1, "", "PageSize=9 Resolution=203dpi", 1},
      // Larger than the label: pdftopdf scales the page down to it.
      {"pdf-letter", "tamrisk_classic-300dpi", 5, 612, 792, 1,
       "  ATTR keyword media na_index-4x6_4x6in\n"
       "  ATTR integer print-darkness 30\n",
       "PageSize=51 Resolution=300dpi Darkness=14", 1},
      // Or lays it on unscaled, cut at the label's edges.
      {"pdf-cropped", "tamrisk_status-203dpi", 144, 612, 792, 1,
       "  ATTR keyword media oe_3x3-label_3x3in\n"
       "  ATTR keyword print-scaling none\n",
       "PageSize=30 Resolution=203dpi print-scaling=none", 1},
      // Pages chosen and turned by pdftopdf, copies made by the printer.
      {"pdf-pages", "tamrisk_rewinder-600dpi", 142, 144, 72, 3,
       "  ATTR rangeOfInteger page-ranges 2-3\n"
       "  ATTR enum orientation-requested 4\n"
       "  ATTR integer copies 2\n"
       "  ATTR boolean label-rewinder true\n",
       "PageSize=9 Resolution=600dpi page-ranges=2-3 orientation-requested=4 NumOfCopies=2 Rewinder=1", 2},
  };
  for (const PdfCase& c : cases) {
    SCOPED_TRACE(c.printer);
    const IppResult created = ipptool(app().systemUri(), createPrinterTest(c.printer, c.driver, printer().uri()));
    ASSERT_EQ(created.status, 0) << created.output;
    const std::string document = pdf(c.width, c.height, c.pages);
    const std::string expected =
        cupsfilter(document, c.model, std::string(c.options) + " StatusCheck=0 RunTrace=0_Off");
    ASSERT_FALSE(expected.empty());

    const IppResult printed = print(c.printer, document, printJobTest(c.attributes));
    EXPECT_EQ(printed.status, 0) << printed.output << app().log();
    const std::string received = printer().take(expected.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the printer got other bytes than the CUPS path writes";
    EXPECT_EQ(splitPages(parseStream(received)).size(), c.labels);
  }
}

TEST_F(EverywhereTest, BrokenPdfFailsItsJobAndSendsNothing) {
  const std::string label = pdf(144, 72, 1);
  const std::string broken[] = {
      label.substr(0, label.size() / 2),
      "%PDF-1.4\nnot a PDF at all\n%%EOF\n",
  };
  const IppResult created =
      ipptool(app().systemUri(), createPrinterTest("pdf-broken", "tamrisk_standard-203dpi", printer().uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  // printJobTest's job, to end aborted for its document.
  std::string aborted = printJobTest("");
  const std::string completed = "  EXPECT job-state WITH-VALUE 9\n";
  ASSERT_NE(aborted.find(completed), std::string::npos);
  aborted.replace(aborted.find(completed), completed.size(),
                  "  EXPECT job-state WITH-VALUE 8\n"
                  "  EXPECT job-state-reasons WITH-VALUE document-format-error\n"
                  "  EXPECT job-state-message WITH-VALUE \"/^Unable to print the PDF: .*(damaged|trailer|xref)/\"\n"
                  // The spool file is "the document", not its path.
                  "  EXPECT job-state-message WITH-VALUE \"/^[^/]*$/\"\n");
  for (const std::string& document : broken) {
    const IppResult result = print("pdf-broken", document, aborted);
    EXPECT_EQ(result.status, 0) << result.output << app().log();
  }
  // The printer gets the next job's bytes and nothing before them.
  const std::string expected = cupsfilter(label, 38, "PageSize=9 Resolution=203dpi StatusCheck=0 RunTrace=0_Off");
  EXPECT_EQ(print("pdf-broken", label, printJobTest("")).status, 0);
  EXPECT_TRUE(printer().take(expected.size()) == expected);
  EXPECT_TRUE(app().running());
}

}  // namespace
