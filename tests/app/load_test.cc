// The app under the load of many printers: its state is saved in the
// background, and by the time it ends; a printer that does not answer holds
// up no other.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app_harness.h"
#include "support/temp_dir.h"

namespace {

class PrinterAppLoadTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(std::string(TMK_PPD_BUILD_DIR) + "/tmk38.ppd")) {
      GTEST_SKIP() << "no generated PPDs (ppdc missing)";
    }
    app_ = std::make_unique<PrinterApp>(TMK_PPD_BUILD_DIR);
  }

  void addPrinter(const std::string& name, const std::string& uri = "") {
    const IppResult created = ipptool(app_->systemUri(), createPrinterTest(name, "tamrisk_standard-203dpi",
                                                                           uri.empty() ? printer_.uri() : uri));
    ASSERT_EQ(created.status, 0) << created.output;
  }

  std::string state() const { return readFile(app_->home() + "/app.state"); }

  PretendPrinter printer_;
  std::unique_ptr<PrinterApp> app_;
};

// A change reaches the state file while the server runs, and one made just
// before it ends, while the last save is still recent, reaches it too.
// (PAPPL looks for changes to save as it takes a connection.)
TEST_F(PrinterAppLoadTest, TheStateIsSavedWhileTheServerRunsAndBeforeItEnds) {
  addPrinter("first");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state().find("name=\"first\"") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    ipptool(app_->printerUri("first"), printerAttributesTest("printer-name", ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_NE(state().find("name=\"first\""), std::string::npos) << state();

  addPrinter("second");
  app_->stop();
  EXPECT_NE(state().find("name=\"second\""), std::string::npos) << state();
  app_->start();
  const IppResult found = ipptool(app_->printerUri("second"), printerAttributesTest("printer-name", ""));
  EXPECT_EQ(found.status, 0) << found.output << app_->log();
}

// A printer that takes no connection, as one switched off behind a router:
// its listener's queue is full, so that a new connection gets no answer.
class SilentPrinter {
 public:
  SilentPrinter() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on a loopback port");
    }
    port_ = ntohs(address.sin_port);
    for (int queued = 0; queued < 3; ++queued) {
      queue_.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      (void)!connect(queue_.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~SilentPrinter() {
    for (const int fd : queue_) close(fd);
    close(listener_);
  }
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> queue_;
};

// While a job waits for its printer to take the connection, another printer
// prints and answers its clients at once (PAPPL waited up to 30 s for the
// connection holding the printer, and a save of the state waited for it
// holding the whole server: a request to another printer took 29 s).
TEST_F(PrinterAppLoadTest, APrinterThatTakesNoConnectionHoldsUpNoOther) {
  const SilentPrinter silent;
  addPrinter("silent", silent.uri());
  addPrinter("live");
  TempDir dir;
  const std::string label = dir.write("label", "SL203,24,G\r\nSOT\r\nP1\r\n");
  const std::vector<std::string> raw{"-f", label, "-d", "filetype=application/vnd.tamrisk-label"};
  IppResult waiting;
  std::thread waitingJob([&] {
    waiting = ipptool(app_->printerUri("silent"), printJobTest("", "  EXPECT job-state WITH-VALUE 7\n"), raw);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // A job that ends is a change to save.
  const IppResult printed = ipptool(app_->printerUri("live"), printJobTest(""), raw);
  EXPECT_EQ(printed.status, 0) << printed.output << app_->log();
  auto slowest = std::chrono::steady_clock::duration::zero();
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < until;) {
    const auto start = std::chrono::steady_clock::now();
    const IppResult asked = ipptool(app_->printerUri("live"), printerAttributesTest("printer-state", ""));
    EXPECT_EQ(asked.status, 0) << asked.output;
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(slowest, std::chrono::milliseconds(500));

  const IppResult canceled = ipptool(app_->printerUri("silent"), cancelJobTest());
  EXPECT_EQ(canceled.status, 0) << canceled.output;
  waitingJob.join();
  EXPECT_EQ(waiting.status, 0) << waiting.output << app_->log();
}

}  // namespace
