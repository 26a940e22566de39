// The printer application end to end: jobs sent over IPP reach the pretend
// printer as exactly the bytes the filter writes for the same page and
// settings, and the printer's attributes say what the drivers offer.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app_harness.h"
#include "jpeg_scans.h"
#include "support/filter_process.h"
#include "support/label_stream.h"
#include "support/ppd_builder.h"
#include "support/raster_writer.h"
#include "support/temp_dir.h"

namespace {

// The models whose PPDs the drivers use, one per model group.
constexpr int kGroupModels[] = {5, 38, 142, 144};

std::vector<std::string> numbers(int from, int to) {
  std::vector<std::string> list;
  for (int i = from; i <= to; ++i) list.push_back(std::to_string(i));
  return list;
}

// A PPD with every choice the app can ask for, for builds without the
// generated ones.
std::string fullPpd(int model) {
  TestPpd ppd;
  ppd.modelNumber = model;
  ppd.customPageSize = true;
  ppd.customCutter = true;
  ppd.options = {
      {"PageSize", "9", numbers(0, 55)},
      {"Resolution", "203dpi", {"203dpi", "300dpi", "600dpi"}},
      {"MediaType", "0", {"0", "1"}},
      {"SensorType", "0", {"0", "1", "2"}},
      {"Rotation", "0", numbers(0, 3)},
      {"NumOfCopies", "1", numbers(1, 10)},
      {"StatusCheck", "0", {"0", "1"}},
      {"Darkness", "10", numbers(1, 15)},
      {"XMargin", "0", numbers(0, 10)},
      {"YMargin", "0", numbers(0, 10)},
      {"PrintSpeed", "4", numbers(2, 6)},
      {"BMOffset", "0", numbers(0, 10)},
      {"TOOffset", "0", numbers(-5, 5)},
      {"Cutter", "0", {"0"}},
      {"Rewinder", "0", {"0", "1"}},
      {"CompPrinting", "1", {"0", "1"}},
      {"RunTrace", "0_Off", {"0_Off", "1_On"}},
  };
  ppd.extra = "*CustomNumOfCopies True: \"\"\n*ParamCustomNumOfCopies Copies/Copies: 1 int 1 9999\n";
  return makePpd(ppd);
}

class PrinterAppTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ppds_ = std::make_unique<TempDir>();
    for (int model : kGroupModels) {
      const std::string name = "tmk" + std::to_string(model) + ".ppd";
      const std::string generated = std::string(TMK_PPD_BUILD_DIR) + "/" + name;
      if (std::filesystem::exists(generated)) {
        std::filesystem::copy_file(generated, ppds_->path() + "/" + name);
      } else {
        ppds_->write(name, fullPpd(model));
      }
    }
    printer_ = std::make_unique<PretendPrinter>();
    app_ = std::make_unique<PrinterApp>(ppds_->path());
  }
  static void TearDownTestSuite() {
    app_.reset();
    printer_.reset();
    ppds_.reset();
  }

  static std::string ppd(int model) { return ppds_->path() + "/tmk" + std::to_string(model) + ".ppd"; }
  // What the filter writes for one label with `options`, the status query
  // and the run trace off: what the printer must get.
  static std::string filterBytes(const Image& image, int model, const std::string& options) {
    FilterRun run;
    run.args = filterArgs(options + " StatusCheck=0 RunTrace=0_Off");
    run.ppd = ppd(model);
    run.input = makeRaster({pageOf(image)});
    const FilterResult result = runFilter(run);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
  }

  // Adds a printer; names must differ between tests.
  static void addPrinter(const std::string& name, const std::string& driver) {
    const IppResult created = ipptool(app_->systemUri(), createPrinterTest(name, driver, printer_->uri()));
    ASSERT_EQ(created.status, 0) << created.output << app_->log();
  }

  // Prints `document` and returns what the printer got, `expected` bytes long.
  static std::string print(const std::string& name, const std::string& format, const std::string& document,
                           const std::string& attributes, size_t expected) {
    TempDir dir;
    const IppResult printed =
        ipptool(app_->printerUri(name), printJobTest(attributes),
                {"-f", dir.write("document", document), "-d", "filetype=" + format});
    EXPECT_EQ(printed.status, 0) << printed.output << app_->log();
    return printer_->take(expected);
  }

  static std::unique_ptr<TempDir> ppds_;
  static std::unique_ptr<PretendPrinter> printer_;
  static std::unique_ptr<PrinterApp> app_;
};

std::unique_ptr<TempDir> PrinterAppTest::ppds_;
std::unique_ptr<PretendPrinter> PrinterAppTest::printer_;
std::unique_ptr<PrinterApp> PrinterAppTest::app_;

Image labelImage(uint32_t width, uint32_t height, uint32_t seed) {
  Image image = randomImage(width, height, seed);
  // The app sends no pixels past the page's width.
  if (width % 8 != 0) {
    for (uint32_t y = 0; y < height; ++y) {
      image.pixels[size_t{y} * image.bytesPerLine + image.bytesPerLine - 1] &=
          static_cast<uint8_t>(0xFF00 >> (width % 8));
    }
  }
  return image;
}

// Black and white squares of 8 x 8 dots from the page's top left corner:
// JPEG codes each such block alone, and at quality 100 a block of one level
// comes back as that level.
Image blockImage(uint32_t width, uint32_t height, uint32_t seed) {
  Image image{width, height, (width + 7) / 8, {}};
  image.pixels.assign(size_t{image.bytesPerLine} * height, 0);
  const auto last = static_cast<uint8_t>(width % 8 == 0 ? 0xFF : 0xFF00 >> (width % 8));
  uint32_t state = seed * 2654435761u + 7;
  for (uint32_t top = 0; top < height; top += 8) {
    for (uint32_t column = 0; column < image.bytesPerLine; ++column) {
      state = state * 1103515245u + 12345u;
      if ((state >> 16) % 2 == 0) continue;
      for (uint32_t y = top; y < std::min(top + 8, height); ++y) {
        image.pixels[size_t{y} * image.bytesPerLine + column] = column + 1 < image.bytesPerLine ? 0xFF : last;
      }
    }
  }
  return image;
}

std::vector<uint8_t> grayOf(const Image& image) {
  std::vector<uint8_t> gray(size_t{image.width} * image.height, 255);
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) {
      if (image.pixel(y, x)) gray[size_t{y} * image.width + x] = 0;
    }
  }
  return gray;
}

struct RasterCase {
  const char* printer;
  const char* format;  // of the document sent: the page as PWG or Apple raster, PNG or JPEG
  const char* driver;
  int model;
  unsigned resolution;
  uint32_t width, height;  // the page in dots
  const char* attributes;  // of the job, as ipptool ATTR lines
  const char* options;     // what the filter is to be given for them
  size_t jpegScans = 0;    // a progressive JPEG of as many scans
};

TEST_F(PrinterAppTest, RasterJobsReachThePrinterAsTheFilterWritesThem) {
  const RasterCase cases[] = {
      {"defaults", "image/pwg-raster", "tamrisk_standard-203dpi", 38, 203, 406, 203, "",
       "PageSize=9 Resolution=203dpi Darkness=10 PrintSpeed=4 SensorType=0 CompPrinting=1"},
      {"settings", "image/pwg-raster", "tamrisk_rewinder-300dpi", 142, 300, 1200, 1800,
       "  ATTR keyword media na_index-4x6_4x6in\n"
       "  ATTR integer print-darkness 50\n"
       "  ATTR integer print-speed 12700\n"
       "  ATTR enum finishings 11\n"
       "  ATTR integer label-cut-period 3\n"
       "  ATTR boolean label-rewinder true\n"
       "  ATTR integer label-rotation 90\n"
       "  ATTR integer copies 2\n",
       "PageSize=51 Resolution=300dpi Darkness=15 PrintSpeed=5 Cutter=Custom.3 Rewinder=1 Rotation=1 "
       "NumOfCopies=2 CompPrinting=1"},
      {"custom", "image/pwg-raster", "tamrisk_classic-203dpi", 5, 203, 479, 319,
       "  ATTR collection media-col {\n"
       "    MEMBER collection media-size {\n"
       "      MEMBER integer x-dimension 6000\n"
       "      MEMBER integer y-dimension 4000\n"
       "    }\n"
       "    MEMBER keyword media-tracking mark\n"
       "    MEMBER integer media-left-offset 300\n"
       "    MEMBER integer media-top-offset 200\n"
       "  }\n"
       "  ATTR integer print-darkness -64\n"
       "  ATTR integer label-mark-offset 4\n"
       "  ATTR keyword label-print-method thermal-transfer\n"
       "  ATTR boolean label-compression false\n",
       "PageSize=Custom.170x113 Resolution=203dpi SensorType=2 XMargin=3 YMargin=2 BMOffset=4 MediaType=1 "
       "Darkness=1 CompPrinting=0"},
      // PAPPL scales an image onto the label; one of the label's size lands
      // on it dot for dot.
      {"image", "image/png", "tamrisk_status-203dpi", 144, 203, 406, 203, "", "PageSize=9 Resolution=203dpi"},
      {"photo", "image/jpeg", "tamrisk_standard-203dpi", 38, 203, 406, 203, "", "PageSize=9 Resolution=203dpi"},
      // As many scans as taken; each repeated one changes no coefficient.
      {"progressive", "image/jpeg", "tamrisk_standard-203dpi", 38, 203, 406, 203, "", "PageSize=9 Resolution=203dpi",
       500},
      // What phones and CUPS's driverless queues send; copies are raster
      // copies, which the printer makes.
      {"apple", "image/urf", "tamrisk_rewinder-300dpi", 142, 300, 600, 300, "  ATTR integer copies 3\n",
       "PageSize=9 Resolution=300dpi NumOfCopies=3"},
  };
  uint32_t seed = 1;
  for (const RasterCase& c : cases) {
    SCOPED_TRACE(c.printer);
    addPrinter(c.printer, c.driver);
    const std::string format = c.format;
    // A JPEG page comes back exact only when made of whole blocks.
    const Image image = format == "image/jpeg" ? blockImage(c.width, c.height, seed++)
                                               : labelImage(c.width, c.height, seed++);
    const std::string expected = filterBytes(image, c.model, c.options);

    const std::vector<uint8_t> gray = grayOf(image);
    const std::string document =
        format == "image/png"    ? png(c.width, c.height, gray)
        : c.jpegScans > 0        ? withScans(jpeg(c.width, c.height, gray, JpegCoding::Progressive), c.jpegScans)
        : format == "image/jpeg" ? jpeg(c.width, c.height, gray)
        : format == "image/urf"  ? grayRaster(CUPS_RASTER_WRITE_APPLE, c.width, c.height, c.resolution, {gray})
                                 : pwgRaster(c.width, c.height, c.resolution, gray);
    const std::string received = print(c.printer, c.format, document, c.attributes, expected.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the printer got other bytes than the filter writes";
    const std::vector<PrintedPage> pages = splitPages(parseStream(received));
    ASSERT_EQ(pages.size(), 1u);
    if (std::string(c.options).find("Rotation=1") == std::string::npos) {
      EXPECT_TRUE(pages[0].image.pixels == image.pixels) << "the label is not the page sent";
    }
  }
}

// A page as a client may send it, in any of the raster types PAPPL takes
// for a monochrome printer.
struct ClientPage {
  const char* type;  // black_1, sgray_1 (a set bit is white), sgray_8 or black_8
  uint32_t width, height;
  unsigned resolution = 203;  // as the page header says
};

// The pages as one PWG raster stream, each drawn from a random
// 1-bit image; `seen` gets those images cut to `labelWidth` x `labelHeight`,
// that is what the filter is to be given for them.
std::string clientPages(const std::vector<ClientPage>& pages, uint32_t labelWidth, uint32_t labelHeight,
                        std::vector<Image>& seen) {
  TempDir dir;
  const std::string path = dir.path() + "/pages.pwg";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  uint32_t seed = 100;
  for (const ClientPage& page : pages) {
    // Random bits past the width too: the app must not pass them on.
    const Image image = randomImage(page.width, page.height, seed++);
    const std::string type = page.type;
    const bool bits = type.ends_with("_1");
    const bool ink = type.starts_with("black");
    cups_page_header2_t header;
    pwg_media_t* media = pwgMediaForSize(static_cast<int>(page.width * 2540 / 203),
                                         static_cast<int>(page.height * 2540 / 203));
    cupsRasterInitPWGHeader(&header, media, bits ? "black_1" : ink ? "black_8" : "sgray_8", page.resolution,
                            page.resolution, "one-sided", "normal");
    header.cupsWidth = page.width;
    header.cupsHeight = page.height;
    header.cupsBytesPerLine = bits ? image.bytesPerLine : page.width;
    if (!ink) header.cupsColorSpace = CUPS_CSPACE_SW;
    std::vector<uint8_t> pixels;
    if (bits) {
      pixels = image.pixels;
      if (!ink) {
        for (uint8_t& byte : pixels) byte = static_cast<uint8_t>(~byte);
      }
    } else {
      // Every level: black is below 128 in gray, 128 and up in device black.
      pixels.resize(size_t{page.width} * page.height);
      for (uint32_t y = 0; y < page.height; ++y) {
        for (uint32_t x = 0; x < page.width; ++x) {
          const uint32_t level = (x * 37 + y * 11) % 128;
          pixels[size_t{y} * page.width + x] =
              static_cast<uint8_t>(image.pixel(y, x) == ink ? 128 + level : 127 - level);
        }
      }
    }
    if (cupsRasterWriteHeader2(ras, &header) == 0 ||
        cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size())) != pixels.size()) {
      throw std::runtime_error("cannot write PWG raster");
    }
    const uint32_t width = std::min(page.width, labelWidth), height = std::min(page.height, labelHeight);
    Image cut{width, height, (width + 7) / 8, {}};
    cut.pixels.resize(size_t{cut.bytesPerLine} * height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        if (image.pixel(y, x)) cut.set(y, x);
      }
    }
    seen.push_back(std::move(cut));
  }
  cupsRasterClose(ras);
  close(fd);
  return readFile(path);
}

// PAPPL 1.3.1 hands a 1-bit page's rows over under its own 8-bit header;
// the app must still take each page as the client sent it, in any mix, and
// cut it to the label without reading past the rows.
TEST_F(PrinterAppTest, OneBitAndGrayPagesOfAnySizeReachThePrinterAsTheFilterWritesThem) {
  addPrinter("mixed", "tamrisk_standard-203dpi");
  const uint32_t labelWidth = 406, labelHeight = 203;  // 2 x 1 in, the default
  const std::vector<ClientPage> pages = {
      {"black_1", 406, 203},   // the label
      {"black_1", 517, 260},   // wider and longer
      {"black_1", 301, 150},   // narrower and shorter, not a whole byte wide
      {"sgray_8", 517, 260},   //
      {"sgray_8", 301, 150},   //
      {"black_1", 3500, 210},  // rows longer than PAPPL's own 8-bit ones
      {"black_8", 410, 190},   //
      {"sgray_1", 300, 100},   //
      {"black_1", 406, 203},   // 1-bit again after 8-bit
      // A claimed resolution does not make the label larger: the page is
      // cut to the printer's dots.
      {"sgray_8", 517, 260, 100000},
      {"black_1", 517, 260, 100000},
  };
  std::vector<Image> seen;
  const std::string document = clientPages(pages, labelWidth, labelHeight, seen);
  std::vector<TestPage> filterPages;
  for (const Image& image : seen) filterPages.push_back(pageOf(image));
  FilterRun run;
  run.args = filterArgs("PageSize=9 Resolution=203dpi Darkness=10 PrintSpeed=4 SensorType=0 CompPrinting=1 "
                        "StatusCheck=0 RunTrace=0_Off");
  run.ppd = ppd(38);
  run.input = makeRaster(filterPages);
  const FilterResult expected = runFilter(run);
  ASSERT_EQ(expected.exitStatus, 0) << expected.err;

  const std::string received = print("mixed", "image/pwg-raster", document, "", expected.out.size());
  EXPECT_EQ(received.size(), expected.out.size());
  EXPECT_TRUE(received == expected.out) << "the printer got other bytes than the filter writes";
  const std::vector<PrintedPage> printed = splitPages(parseStream(received));
  ASSERT_EQ(printed.size(), pages.size());
  for (size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "page " << i + 1 << ": " << pages[i].type << " " << pages[i].width << "x"
                                    << pages[i].height);
    EXPECT_EQ(printed[i].image.bytesPerLine, seen[i].bytesPerLine);
    EXPECT_TRUE(printed[i].image.pixels == seen[i].pixels) << "the label is not the page sent";
  }
}

// A job canceled while a slow printer takes its labels stops the filter,
// which finishes the label it is on; the printer is free for the next job.
TEST_F(PrinterAppTest, CanceledJobEndsOnAWholeLabelAndFreesThePrinter) {
  addPrinter("slow", "tamrisk_standard-600dpi");
  // Labels of a megabyte each: 4 x 6 in at 600 dpi, uncompressed.
  constexpr uint32_t kWidth = 2400, kHeight = 3600;
  const std::string attributes =
      "  ATTR keyword media na_index-4x6_4x6in\n"
      "  ATTR boolean label-compression false\n";
  std::vector<TestPage> pages;
  std::vector<std::vector<uint8_t>> gray;
  const auto addLabel = [&] {
    const Image image = blockImage(kWidth, kHeight, static_cast<uint32_t>(100 + pages.size()));
    pages.push_back(pageOf(image));
    gray.push_back(grayOf(image));
  };
  const auto filterOutput = [&](size_t labels) {
    FilterRun run;
    run.args = filterArgs("PageSize=51 Resolution=600dpi CompPrinting=0 StatusCheck=0 RunTrace=0_Off");
    run.ppd = ppd(38);
    run.input = makeRaster(std::vector<TestPage>(pages.begin(), pages.begin() + static_cast<long>(labels)));
    const FilterResult result = runFilter(run);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
  };
  addLabel();
  const std::string one = filterOutput(1);
  // More labels than the kernel, the pipes and the filter hold between the
  // app and a printer that has stopped reading.
  while (pages.size() < 4 + (largestSendBuffer() + (size_t{1} << 20)) / one.size()) addLabel();

  printer_->holdAfter(one.size());
  TempDir dir;
  const std::string document =
      dir.write("labels", grayRaster(CUPS_RASTER_WRITE_PWG, kWidth, kHeight, 600, gray));
  IppResult printed;
  std::thread printing([&] {
    printed = ipptool(app_->printerUri("slow"),
                      printJobTest(attributes,
                                   "  EXPECT job-state WITH-VALUE 7\n"
                                   "  EXPECT job-state-message WITH-VALUE \"Job canceled.\"\n"),
                      {"-f", document, "-d", "filetype=image/pwg-raster"});
  });
  // Everything between the app and the printer is full: the app waits for
  // the filter, the filter for the printer.
  EXPECT_TRUE(printer_->waitUntilHeld());
  EXPECT_TRUE(app_->waitUntilBlockedOnAPipe());
  const IppResult canceled = ipptool(app_->printerUri("slow"), cancelJobTest());
  printer_->release();
  printing.join();
  EXPECT_EQ(canceled.status, 0) << canceled.output;
  EXPECT_EQ(printed.status, 0) << printed.output << app_->log();

  const std::string received = printer_->take(SIZE_MAX);
  const size_t labels = splitPages(parseStream(received)).size();
  ASSERT_GE(labels, 1u);
  EXPECT_LT(labels, pages.size()) << "the cancel did not stop the job";
  EXPECT_TRUE(received == filterOutput(labels)) << "the printer did not get whole labels";
  EXPECT_EQ(app_->children(), 0) << "the filter is left behind";
  EXPECT_TRUE(print("slow", "image/pwg-raster", pwgRaster(kWidth, kHeight, 600, gray[0]), attributes, one.size()) ==
              one)
      << "the next job did not print";
}

// Whether the log has an error line that says `text`.
bool loggedError(const std::string& log, const std::string& text) {
  size_t start = 0;
  while (start < log.size()) {
    const size_t end = std::min(log.find('\n', start), log.size());
    const std::string_view line(log.data() + start, end - start);
    if (line.substr(0, 2) == "E " && line.find(text) != std::string_view::npos) return true;
    start = end + 1;
  }
  return false;
}

// A job that fails ends aborted, with the reason as its job-state-message
// and in the log; the app stays up and prints the next job.
TEST_F(PrinterAppTest, FailedJobsEndAbortedWithTheReason) {
  struct FailureCase {
    const char* printer;
    const char* filter;  // the app's filter; null for the build's
    const char* format;
    std::string document;
    const char* says;  // in the job-state-message and a log error line
  };
  const std::string label = pwgRaster(406, 203, 203, grayOf(labelImage(406, 203, 7)));
  const FailureCase cases[] = {
      // A raster page of 65536 rows, one more than an image command counts:
      // the filter refuses it.
      {"refused", nullptr, "application/vnd.tamrisk-label", makeRaster({TestPage{8, 65536, 1, 0, {}}}),
       "Page 1 is too large for the printer"},
      {"missing", "/nonexistent/rastertoTmkLabel", "image/pwg-raster", label, "Unable to start the filter"},
      // A filter that fails without a word.
      {"failing", "/bin/false", "image/pwg-raster", label, "The filter failed with status 1"},
  };
  TempDir dir;
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.printer);
    std::unique_ptr<PrinterApp> own;
    if (c.filter != nullptr) own = std::make_unique<PrinterApp>(ppds_->path(), c.filter);
    const PrinterApp& app = own != nullptr ? *own : *app_;
    const IppResult created =
        ipptool(app.systemUri(), createPrinterTest(c.printer, "tamrisk_status-203dpi", printer_->uri()));
    ASSERT_EQ(created.status, 0) << created.output;
    const std::string document = dir.write(c.printer, c.document);
    const IppResult printed = ipptool(app.printerUri(c.printer),
                                      printJobTest("", "  EXPECT job-state WITH-VALUE 8\n"
                                                       "  EXPECT job-state-message WITH-VALUE \"/" +
                                                           std::string(c.says) +
                                                           "/\"\n"
                                                           // No path of the server's.
                                                           "  EXPECT job-state-message WITH-VALUE \"/^[^/]*$/\"\n"),
                                      {"-f", document, "-d", std::string("filetype=") + c.format});
    EXPECT_EQ(printed.status, 0) << printed.output;
    EXPECT_TRUE(loggedError(app.log(), c.says)) << app.log();
    EXPECT_TRUE(app.running());
    EXPECT_EQ(app.children(), 0) << "the filter is left behind";
    // The refused page's job still sent the job's setup, as the filter
    // does; nothing else reached the printer.
    if (c.filter == nullptr) {
      FilterRun run;
      run.args = filterArgs("PageSize=9 Resolution=203dpi StatusCheck=0 RunTrace=0_Off", document);
      run.ppd = ppd(144);
      const FilterResult expected = runFilter(run);
      EXPECT_EQ(expected.exitStatus, 1);
      EXPECT_TRUE(printer_->take(expected.out.size()) == expected.out);
    }
  }
  const std::string commands = dir.write("commands", "SL203,24,G\r\nSW406\r\nSOT\r\nP1\r\n");
  FilterRun run;
  run.args = filterArgs("StatusCheck=0", commands);
  run.ppd = ppd(144);
  const FilterResult next = runFilter(run);
  EXPECT_EQ(print("refused", "application/vnd.tamrisk-label", readFile(commands), "", next.out.size()), next.out)
      << "the next job did not print";
}

// libcups computes an Apple raster page's row length from its width in 32
// bits: a gray page 2^29 + 1 pixels wide has rows of 1 byte. The app
// refuses the page rather than read a label's width of pixels from each.
TEST_F(PrinterAppTest, APageWhoseWidthWrapsPastItsRowsIsRefused) {
  PretendPrinter printer;
  const IppResult created =
      ipptool(app_->systemUri(), createPrinterTest("wrapping", "tamrisk_standard-203dpi", printer.uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  // Apple raster: the file header, then the page's: 8 bits per pixel,
  // sGray, the width, 4 rows, 203 dpi; then one row of one pixel, 3 times
  // more.
  std::string document("UNIRAST\0\0\0\0\1", 12);
  std::string header(32, '\0');
  header[0] = 8;
  header.replace(12, 12, std::string("\x20\0\0\x01\0\0\0\x04\0\0\0\xcb", 12));
  document += header + std::string("\x03\x00\xff", 3);
  TempDir dir;
  const IppResult printed =
      ipptool(app_->printerUri("wrapping"), printJobTest("", "  EXPECT job-state WITH-VALUE 8\n"),
              {"-f", dir.write("page.urf", document), "-d", "filetype=image/urf"});
  EXPECT_EQ(printed.status, 0) << printed.output << app_->log();
  EXPECT_TRUE(loggedError(app_->log(), "Bad raster data seen")) << app_->log();
  EXPECT_TRUE(app_->running());
}

TEST_F(PrinterAppTest, RawCommandFilesPassThroughTheFilter) {
  addPrinter("raw", "tamrisk_status-203dpi");
  TempDir dir;
  const std::string commands = "SL203,24,G\r\nSW406\r\nSOT\r\nP1\r\n";
  FilterRun run;
  run.args = filterArgs("StatusCheck=0", dir.write("commands", commands));
  run.ppd = ppd(144);
  const FilterResult expected = runFilter(run);
  ASSERT_EQ(expected.exitStatus, 0) << expected.err;
  EXPECT_EQ(print("raw", "application/vnd.tamrisk-label", commands, "", expected.out.size()), expected.out);
}

// The command line's -n asks for copies, which the printer makes, as a
// client's copies attribute does.
TEST_F(PrinterAppTest, CommandLineCopiesAreThePrintersCopies) {
  addPrinter("copies", "tamrisk_standard-203dpi");
  const Image image = labelImage(406, 203, 11);
  const std::string expected = filterBytes(image, 38, "PageSize=9 Resolution=203dpi NumOfCopies=2");
  TempDir dir;
  // The command line runs as the app's user.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string label = dir.write("label.pwg", pwgRaster(406, 203, 203, grayOf(image)));
  const IppResult submitted = app_->command({"submit", "-d", "copies", "-n", "2", label});
  EXPECT_EQ(submitted.status, 0) << submitted.output;
  EXPECT_TRUE(printer_->take(expected.size()) == expected) << app_->log();
}

TEST_F(PrinterAppTest, PrinterAttributesTellWhatTheDriverOffers) {
  struct AttributeCase {
    const char* printer;
    const char* driver;
    const char* expectations;
  };
  const AttributeCase cases[] = {
      {"standard", "tamrisk_standard-203dpi",
       "  EXPECT printer-make-and-model WITH-VALUE \"/^Tamrisk 38, 39, /\"\n"
       "  EXPECT printer-resolution-supported WITH-VALUE 203dpi\n"
       "  EXPECT !label-rewinder-supported\n"},
      {"rewinding", "tamrisk_rewinder-600dpi",
       "  EXPECT printer-make-and-model WITH-VALUE \"Tamrisk 142, 143, 150, 292, 293, 600 dpi\"\n"
       "  EXPECT printer-resolution-supported WITH-VALUE 600dpi\n"
       "  EXPECT label-rewinder-supported\n"},
  };
  const std::string common =
      "  EXPECT media-supported COUNT 58\n"
      "  EXPECT media-supported WITH-VALUE oe_1.5x1-label_1.5x1in\n"
      "  EXPECT media-supported WITH-VALUE na_index-4x6_4x6in\n"
      "  EXPECT media-supported WITH-VALUE oe_3x4.5-label_3x4.5in\n"
      "  EXPECT media-supported WITH-VALUE roll_max_4x50in\n"
      "  EXPECT media-default WITH-VALUE oe_2x1-label_2x1in\n"
      "  EXPECT media-tracking-supported WITH-ALL-VALUES \"/^(gap|mark|continuous)$/\" COUNT 3\n"
      "  EXPECT printer-darkness-supported WITH-VALUE 15\n"
      "  EXPECT printer-darkness-configured WITH-VALUE 64\n"
      "  EXPECT print-speed-supported OF-TYPE rangeOfInteger\n"
      "  EXPECT finishings-supported WITH-VALUE 11\n"
      "  EXPECT pwg-raster-document-type-supported WITH-ALL-VALUES \"/^(black_1|sgray_8)$/\" COUNT 2\n"
      "  EXPECT document-format-supported WITH-VALUE application/vnd.tamrisk-label\n"
      "  EXPECT label-print-method-supported WITH-ALL-VALUES \"/^(direct-thermal|thermal-transfer)$/\"\n"
      "  EXPECT label-cut-period-default WITH-VALUE 1\n"
      "  EXPECT printer-state-reasons WITH-VALUE none\n";
  for (const AttributeCase& c : cases) {
    SCOPED_TRACE(c.printer);
    addPrinter(c.printer, c.driver);
    const IppResult result = ipptool(app_->printerUri(c.printer), printerAttributesTest("all", common + c.expectations));
    EXPECT_EQ(result.status, 0) << result.output;
  }
}

}  // namespace

namespace {

TEST_F(PrinterAppTest, PrinterStatusBecomesStateReasons) {
  struct StatusCase {
    uint8_t status;
    const char* expectations;  // each repeated until the app's query has run
  };
  const StatusCase cases[] = {
      // The status group's layout: paper jam and out of paper.
      {0x88,
       "  EXPECT printer-state-reasons WITH-VALUE media-jam REPEAT-NO-MATCH REPEAT-LIMIT 400\n"
       "  EXPECT printer-state-reasons WITH-VALUE media-empty REPEAT-NO-MATCH REPEAT-LIMIT 400\n"},
      // Fixed: cleared.
      {0x00, "  EXPECT printer-state-reasons WITH-ALL-VALUES none REPEAT-NO-MATCH REPEAT-LIMIT 400\n"},
  };
  PretendPrinter printer;
  const IppResult created = ipptool(app_->systemUri(), createPrinterTest("jammed", "tamrisk_status-203dpi", printer.uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  const auto expect = [&](const std::string& expectations) {
    const IppResult result = ipptool(
        app_->printerUri("jammed"), printerAttributesTest("printer-state-reasons", expectations + "  DELAY \"0,0.05\"\n"));
    EXPECT_EQ(result.status, 0) << result.output << app_->log();
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    printer.setStatus(c.status);
    expect(c.expectations);
  }
  // A printer that has answered and misses a request (busy, switched off a
  // moment) is asked again within seconds, not after the minutes one that
  // never answers waits: the jam shows.
  printer.setStatusReply(PretendPrinter::StatusReply::Silent);
  const int asked = printer.statusRequests();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (printer.statusRequests() == asked && std::chrono::steady_clock::now() < deadline) {
    ipptool(app_->printerUri("jammed"), printerAttributesTest("printer-state", ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GT(printer.statusRequests(), asked) << "the app did not ask";
  printer.setStatusReply(PretendPrinter::StatusReply::Answer);
  printer.setStatus(cases[0].status);
  expect(cases[0].expectations);
}

}  // namespace

namespace {

// The pages a newcomer uses, on a machine without avahi-daemon, where
// PAPPL's own add-printer page ends the application.
TEST_F(PrinterAppTest, WebPagesAddAPrinterWithoutAvahi) {
  const PrinterApp::Page add = app_->web("/addprinter");
  ASSERT_EQ(add.status, 200) << app_->log();
  // The model number and the resolution, which the page maps to a driver.
  EXPECT_NE(add.body.find("<option value=\"142\">Tamrisk 142</option>"), std::string::npos);
  EXPECT_NE(add.body.find("<option value=\"300\">300 dpi"), std::string::npos);
  const std::string marker = "name=\"session\" value=\"";
  const size_t token = add.body.find(marker);
  ASSERT_NE(token, std::string::npos);
  const size_t start = token + marker.size();
  const std::string session = add.body.substr(start, add.body.find('"', start) - start);

  struct FormCase {
    const char* form;
    int status;
    const char* says;  // on the page, when it comes back
  };
  const std::string address = printer_->uri().substr(9);  // host:port
  const FormCase cases[] = {
      {"printer_name=&device_uri=socket&hostname=HOST&driver_name=tamrisk_standard-203dpi", 200,
       "Please enter a printer name."},
      {"printer_name=web&device_uri=socket&hostname=&driver_name=tamrisk_standard-203dpi", 200,
       "Please select a device"},
      {"printer_name=web&device_uri=socket&hostname=HOST&model=141&resolution=203", 200,
       "Please select the printer's model and resolution."},
      {"printer_name=web&device_uri=socket&hostname=HOST&model=142&resolution=250", 200, "model and resolution"},
      {"printer_name=web&device_uri=socket&hostname=HOST&driver_name=nonesuch", 200, "model and resolution"},
      {"printer_name=web&device_uri=socket&hostname=HOST&model=38&resolution=203", 302, ""},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.form);
    std::string form = "session=" + session + "&" + c.form;
    if (const size_t host = form.find("HOST"); host != std::string::npos) form.replace(host, 4, address);
    const PrinterApp::Page posted = app_->web("/addprinter", form);
    EXPECT_EQ(posted.status, c.status);
    EXPECT_NE(posted.body.find(c.says), std::string::npos) << posted.body;
  }
  for (const char* page : {"/", "/web", "/web/printing", "/web/media", "/web/jobs", "/web/config"}) {
    EXPECT_EQ(app_->web(page).status, 200) << page;
  }
  // The vendor attributes by their names, not as keywords.
  const std::string printing = app_->web("/web/printing").body;
  EXPECT_NE(printing.find("<th>Print Method:</th>"), std::string::npos);
  // The printer's turn of the label told apart from PAPPL's orientation.
  EXPECT_NE(printing.find("<th>Label Rotation (Clockwise, by the Printer"), std::string::npos);
  // The app's name beside the navigation icon, and its product in the footer.
  const std::string home = app_->web("/").body;
  EXPECT_NE(home.find(">Tamrisk Label Printers</"), std::string::npos) << home;
  EXPECT_NE(home.find("rastertoTmkLabel "), std::string::npos);
  // The app's own icons, as PNG of the sizes PAPPL names them by.
  const std::pair<const char*, int> icons[] = {{"/navicon.png", 48},     {"/favicon.png", 128},
                                               {"/web/icon-sm.png", 48}, {"/web/icon-md.png", 128},
                                               {"/web/icon-lg.png", 512}};
  for (const auto& [path, size] : icons) {
    SCOPED_TRACE(path);
    const PrinterApp::Page png = app_->web(path);
    ASSERT_EQ(png.status, 200);
    ASSERT_GE(png.body.size(), 24u);
    EXPECT_EQ(png.body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const auto byte = [&](size_t at) { return static_cast<int>(static_cast<uint8_t>(png.body[at])); };
    EXPECT_EQ(byte(18) * 256 + byte(19), size) << "width";
    EXPECT_EQ(byte(22) * 256 + byte(23), size) << "height";
  }
  EXPECT_NE(app_->web("/web/icon-md.png").body, app_->web("/web/icon-lg.png").body);
  // The printer's page names where its jobs go, and leads to its darkness
  // as the printer's level: the configured 64 % is level 10.
  EXPECT_NE(app_->web("/web/").body.find("Device: " + printer_->uri()), std::string::npos);
  const PrinterApp::Page device = app_->web("/web/device");
  ASSERT_EQ(device.status, 200);
  EXPECT_NE(device.body.find("<code>" + printer_->uri() + "</code>"), std::string::npos) << device.body;
  EXPECT_NE(device.body.find("Darkness level 10 of 15"), std::string::npos) << device.body;
  EXPECT_NE(device.body.find("<td>0 mm "), std::string::npos);
  EXPECT_EQ(device.body.find("name=\"darkness-level\""), std::string::npos) << "a form for anyone";

  // A default saved there reaches a job that does not name it, as from CUPS.
  const std::string defaults = "session=" + session + "&label-print-method=thermal-transfer&label-compression=on";
  EXPECT_NE(app_->web("/web/printing", defaults).body.find("Changes saved."), std::string::npos);
  const Image image = labelImage(406, 203, 9);
  const std::string expected = filterBytes(image, 38, "PageSize=9 Resolution=203dpi MediaType=1");
  EXPECT_TRUE(print("web", "image/pwg-raster", pwgRaster(406, 203, 203, grayOf(image)), "", expected.size()) ==
              expected);

  // A level set on the Device page is the printing defaults' entry for it,
  // and needs the form's token.
  const std::string level = "darkness-level=12&tear-offset=-2";
  EXPECT_NE(app_->web("/web/device-settings", level).body.find("Invalid form"), std::string::npos);
  EXPECT_NE(app_->web("/web/device-settings", "session=" + session + "&" + level).body.find("Changes saved."),
            std::string::npos);
  EXPECT_NE(app_->web("/web/printing").body.find("<option value=\"78\" selected>78%</option>"), std::string::npos);
  const std::string changed = app_->web("/web/device").body;
  EXPECT_NE(changed.find("Darkness level 12 of 15"), std::string::npos) << changed;
  EXPECT_NE(changed.find("<td>-2 mm "), std::string::npos);
  EXPECT_TRUE(app_->running()) << app_->log();
}

// A PNG image as 1-bit rows, 1 for black as the printer's; empty when it is
// no 1-bit gray PNG.
Image imageOfPng(const std::string& data) {
  // IHDR's bit depth and color type.
  if (data.size() < 26 || data[24] != 1 || data[25] != 0) return {};
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, data.data(), data.size())) return {};
  png.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> gray(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, gray.data(), 0, nullptr)) return {};
  Image image{png.width, png.height, (png.width + 7) / 8, {}};
  image.pixels.assign(size_t{image.bytesPerLine} * image.height, 0);
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) {
      if (gray[size_t{y} * image.width + x] < 128) image.set(y, x);
    }
  }
  return image;
}

// The labels page shows each label as the printer got it: its images, read
// back from the job's bytes, are those the stream reader finds in what the
// printer received, dot for dot.
TEST_F(PrinterAppTest, LabelsPageShowsTheLabelsThePrinterGot) {
  addPrinter("preview", "tamrisk_standard-203dpi");
  const std::vector<Image> images = {labelImage(406, 203, 21), labelImage(406, 203, 22), labelImage(406, 203, 23)};
  std::vector<TestPage> pages;
  std::vector<std::vector<uint8_t>> grays;
  for (const Image& image : images) {
    pages.push_back(pageOf(image));
    grays.push_back(grayOf(image));
  }
  FilterRun run;
  run.args = filterArgs("PageSize=9 Resolution=203dpi NumOfCopies=2 StatusCheck=0 RunTrace=0_Off");
  run.ppd = ppd(38);
  run.input = makeRaster(pages);
  const std::string expected = runFilter(run).out;
  const std::string received = print("preview", "image/pwg-raster",
                                     grayRaster(CUPS_RASTER_WRITE_PWG, 406, 203, 203, grays),
                                     "  ATTR integer copies 2\n", expected.size());
  ASSERT_TRUE(received == expected) << "the printer got other bytes than the filter writes";
  const DecodedStream decoded = decodeStream(received);
  ASSERT_EQ(decoded.pages.size(), 3u);

  // The job's labels are read once it has ended, apart from its printing.
  const std::string page = "/preview/labels";
  PrinterApp::Page list;
  for (int tries = 0; tries < 100; ++tries) {
    list = app_->web(page);
    if (list.status != 200 || list.body.find("labels.png?job=1&amp;label=3") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(list.status, 200) << app_->log();
  EXPECT_NE(list.body.find("3 labels"), std::string::npos) << list.body;
  const std::string size = std::to_string(decoded.pages[0].image.width) + " x 203 dots, 2 copies";
  EXPECT_NE(list.body.find(" x 25.4 mm, " + size), std::string::npos) << list.body;
  EXPECT_EQ(list.body.find(app_->home()), std::string::npos) << "a path of the server is on the page";
  EXPECT_NE(app_->web("/preview/").body.find(page), std::string::npos) << "no link to the page";

  for (size_t label = 1; label <= 3; ++label) {
    SCOPED_TRACE(label);
    const std::string query = "?job=1&label=" + std::to_string(label);
    const PrinterApp::Page png = app_->web("/preview/labels.png" + query);
    ASSERT_EQ(png.status, 200);
    const Image& sent = decoded.pages[label - 1].image;
    const Image shown = imageOfPng(png.body);
    EXPECT_EQ(shown.width, sent.width);
    EXPECT_EQ(shown.height, sent.height);
    EXPECT_TRUE(shown.pixels == sent.pixels) << "the label shown is not the label the printer got";
    const PrinterApp::Page whole = app_->web(page + query);
    EXPECT_EQ(whole.status, 200);
    EXPECT_NE(whole.body.find("width=\"" + std::to_string(sent.width) + "\""), std::string::npos);
  }

  // Only labels of the printer's listed jobs, named exactly.
  for (const char* query : {"?job=2&label=1", "?job=1&label=4", "?job=1&label=0", "?job=1&label=1x",
                            "?job=-1&label=1", "?job=01&label=", "?job=4294967297&label=1", "?label=1"}) {
    SCOPED_TRACE(query);
    EXPECT_EQ(app_->web("/preview/labels.png" + std::string(query)).status, 404);
    EXPECT_EQ(app_->web(page + query).status, 404);
  }
  EXPECT_TRUE(app_->running()) << app_->log();
}

// A printer that leaves the status request unanswered (many are one-way) or
// resets the connection must not hold up a job: the app's status query waits
// for it in the background, and PAPPL would keep the printer's device from a
// job for its 10 s read timeout if the query held it.
TEST_F(PrinterAppTest, AJobNeverWaitsForAStatusQueryThePrinterDoesNotAnswer) {
  struct ReplyCase {
    const char* printer;
    PretendPrinter::StatusReply reply;
  };
  const ReplyCase cases[] = {
      {"silent", PretendPrinter::StatusReply::Silent},
      {"resetting", PretendPrinter::StatusReply::Reset},
  };
  const Image image = labelImage(406, 203, 7);
  const std::string expected = filterBytes(image, 144, "PageSize=9 Resolution=203dpi");
  const std::string stateReasons =
      printerAttributesTest("printer-state-reasons", "  EXPECT printer-state-reasons WITH-ALL-VALUES none\n");

  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.printer);
    PretendPrinter printer(0x88);
    printer.setStatusReply(c.reply);
    const IppResult created =
        ipptool(app_->systemUri(), createPrinterTest(c.printer, "tamrisk_status-203dpi", printer.uri()));
    ASSERT_EQ(created.status, 0) << created.output;
    // The first Get-Printer-Attributes starts the query; the job follows as
    // soon as the printer has the request.
    EXPECT_EQ(ipptool(app_->printerUri(c.printer), stateReasons).status, 0);
    const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (printer.statusRequests() == 0 && std::chrono::steady_clock::now() < asked) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(printer.statusRequests(), 1);
    const size_t logBefore = app_->log().size();

    TempDir dir;
    const auto sent = std::chrono::steady_clock::now();
    const std::string page = dir.write("page.pwg", pwgRaster(406, 203, 203, grayOf(image)));
    const IppResult printed =
        ipptool(app_->printerUri(c.printer), printJobTest(""), {"-f", page, "-d", "filetype=image/pwg-raster"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_EQ(printed.status, 0) << printed.output;
    EXPECT_TRUE(printer.take(expected.size()) == expected)
        << "the printer got other bytes than the filter writes";
    EXPECT_LT(seconds, 5.0) << "the job waited for the status query";
    const std::string log = app_->log().substr(logBefore);
    EXPECT_EQ(log.find("Waiting for device to become available"), std::string::npos) << log;
    // Nothing was learnt, so nothing is reported, and the app still answers.
    EXPECT_EQ(ipptool(app_->printerUri(c.printer), stateReasons).status, 0);
  }
  EXPECT_TRUE(app_->running()) << app_->log();
}

// "Print Test Page" pressed on a printer's web page as a browser does: the
// app draws one label of the loaded size at the driver's resolution, which
// prints through the filter like any job, its frame one dot inside each edge.
TEST_F(PrinterAppTest, PrintTestPageOnThePrinterPagePrintsOneLabelOfTheLoadedSize) {
  addPrinter("selftest", "tamrisk_standard-300dpi");
  // 1.5 x 1 in loaded: 450 x 300 dots, rows of no whole number of bytes.
  constexpr uint32_t kWidth = 450, kLength = 300;
  const IppResult loaded = ipptool(app_->printerUri("selftest"),
                                   "{\n  NAME \"Set-Printer-Attributes\"\n  OPERATION Set-Printer-Attributes\n"
                                   "  GROUP operation-attributes-tag\n"
                                   "  ATTR charset attributes-charset utf-8\n"
                                   "  ATTR naturalLanguage attributes-natural-language en\n"
                                   "  ATTR uri printer-uri $uri\n"
                                   "  GROUP printer-attributes-tag\n"
                                   "  ATTR collection media-col-ready {\n"
                                   "    MEMBER collection media-size {\n"
                                   "      MEMBER integer x-dimension 3810\n"
                                   "      MEMBER integer y-dimension 2540\n"
                                   "    }\n"
                                   "    MEMBER keyword media-size-name oe_1.5x1-label_1.5x1in\n"
                                   "    MEMBER keyword media-source main-roll\n"
                                   "    MEMBER keyword media-type labels\n"
                                   "    MEMBER keyword media-tracking gap\n"
                                   "  }\n"
                                   "  STATUS successful-ok\n}\n");
  ASSERT_EQ(loaded.status, 0) << loaded.output << app_->log();

  const PrinterApp::Page home = app_->web("/selftest/");
  ASSERT_EQ(home.status, 200) << app_->log();
  ASSERT_NE(home.body.find("value=\"print-test-page\""), std::string::npos) << home.body;
  const std::string marker = "name=\"session\" value=\"";
  const size_t token = home.body.find(marker);
  ASSERT_NE(token, std::string::npos);
  const size_t start = token + marker.size();
  const std::string session = home.body.substr(start, home.body.find('"', start) - start);
  const PrinterApp::Page pressed = app_->web("/selftest/", "session=" + session + "&action=print-test-page");
  EXPECT_EQ(pressed.status, 200);
  EXPECT_NE(pressed.body.find("Test page printed."), std::string::npos) << pressed.body;

  const IppResult ended = ipptool(app_->printerUri("selftest"),
                                  "{\n  NAME \"Get-Jobs\"\n  OPERATION Get-Jobs\n"
                                  "  GROUP operation-attributes-tag\n"
                                  "  ATTR charset attributes-charset utf-8\n"
                                  "  ATTR naturalLanguage attributes-natural-language en\n"
                                  "  ATTR uri printer-uri $uri\n"
                                  "  ATTR keyword which-jobs all\n"
                                  "  ATTR keyword requested-attributes job-name,job-state\n"
                                  "  STATUS successful-ok\n"
                                  "  EXPECT job-name WITH-VALUE \"Test Page\"\n"
                                  "  EXPECT job-state WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 600\n"
                                  "  EXPECT job-state WITH-VALUE 9\n"
                                  "  DELAY \"0,0.05\"\n"
                                  "}\n");
  EXPECT_EQ(ended.status, 0) << ended.output << app_->log();

  const std::vector<PrintedPage> labels = splitPages(parseStream(printer_->take(SIZE_MAX)));
  ASSERT_EQ(labels.size(), 1u) << app_->log();
  const Image& label = labels[0].image;
  ASSERT_EQ(label.bytesPerLine, (kWidth + 7) / 8);
  ASSERT_EQ(label.height, kLength);
  // The frame is whole, one dot inside the edges, and the edges are blank.
  for (uint32_t y = 1; y + 1 < kLength; ++y) {
    ASSERT_TRUE(label.pixel(y, 1) && label.pixel(y, kWidth - 2)) << "row " << y;
    ASSERT_FALSE(label.pixel(y, 0) || label.pixel(y, kWidth - 1)) << "row " << y;
  }
  for (uint32_t x = 1; x + 1 < kWidth; ++x) {
    ASSERT_TRUE(label.pixel(1, x) && label.pixel(kLength - 2, x)) << "column " << x;
    ASSERT_FALSE(label.pixel(0, x) || label.pixel(kLength - 1, x)) << "column " << x;
  }
  EXPECT_TRUE(app_->running()) << app_->log();
}

}  // namespace
