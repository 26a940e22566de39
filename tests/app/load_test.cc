// The app under the load of many printers: its state is saved in the
// background, and by the time it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

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

  void addPrinter(const std::string& name) {
    const IppResult created =
        ipptool(app_->systemUri(), createPrinterTest(name, "tamrisk_standard-203dpi", printer_.uri()));
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

}  // namespace
