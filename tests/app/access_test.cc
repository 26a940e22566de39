// Who reaches the printer application and what it can be made to do: the
// devices a printer may print to, from every door; clients on another host,
// with the printers shared and not; and no process of a job as root.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_harness.h"
#include "support/filter_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDriver = "tamrisk_standard-203dpi";

// Create-Printer that expects `status`.
std::string createPrinterExpecting(const std::string& name, const std::string& uri, const std::string& status) {
  std::string test = createPrinterTest(name, kDriver, uri);
  test.replace(test.find("STATUS successful-ok"), 20,
               "STATUS " + status + "\n  EXPECT status-message WITH-VALUE \"/smi55357-device-uri/\"");
  return test;
}

// Set-Printer-Attributes of one attribute, `value` as ipptool writes it.
std::string setPrinterAttributeTest(const std::string& tag, const std::string& name, const std::string& value,
                                    const std::string& status) {
  return "{\n  NAME \"Set-Printer-Attributes\"\n  OPERATION Set-Printer-Attributes\n"
         "  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n"
         "  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri printer-uri $uri\n"
         "  GROUP printer-attributes-tag\n"
         "  ATTR " + tag + " " + name + " " + value + "\n  STATUS " + status + "\n}\n";
}

std::string sessionOf(const PrinterApp::Page& page) {
  const std::string marker = "name=\"session\" value=\"";
  const size_t at = page.body.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return page.body.substr(start, page.body.find('"', start) - start);
}

std::string formEncoded(const std::string& text) {
  std::ostringstream out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
      out << c;
    } else {
      out << '%' << "0123456789ABCDEF"[c >> 4] << "0123456789ABCDEF"[c & 15];
    }
  }
  return out.str();
}

// A device URI that is no printer's is refused wherever a printer is made or
// changed, says why, and leaves nothing written: a file: printer would let
// whoever adds it append to, or create, any file the app may write.
TEST(AppAccess, DevicesThatAreNoPrinterAreRefusedAtEveryDoor) {
  PretendPrinter printer;
  const TempDir noPpds;  // no job is printed
  PrinterApp app(noPpds.path());
  // A folder the app could write to, where a file device would put its bytes.
  const std::string trap = app.home() + "/trap";
  fs::create_directory(trap);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(trap.c_str(), 65534, 65534), 0);
  }
  const std::vector<std::string> refused = {
      "file://" + trap + "/labels", "file://" + trap + "?ext=sh", "file:///dev/null", "ipp://127.0.0.1:1/ipp/print",
      "socket://", "socket:///labels", "dnssd://Label._pdl-datastream._tcp.local/", "cups-pdf:/"};

  const std::string session = sessionOf(app.web("/addprinter"));
  ASSERT_FALSE(session.empty()) << app.log();
  // The good one, to be changed.
  ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("kept", kDriver, printer.uri())).status, 0) << app.log();

  for (size_t i = 0; i < refused.size(); ++i) {
    const std::string& uri = refused[i];
    SCOPED_TRACE(uri);
    const std::string name = "refused" + std::to_string(i);
    const PrinterApp::Page web = app.web("/addprinter", "session=" + session + "&printer_name=" + name +
                                                            "&device_uri=" + formEncoded(uri) +
                                                            "&hostname=&driver_name=" + kDriver);
    EXPECT_EQ(web.status, 200);
    EXPECT_NE(web.body.find("This device cannot be used: only network printers"), std::string::npos) << web.body;

    const IppResult ipp = ipptool(
        app.systemUri(), createPrinterExpecting(name, uri, "client-error-attributes-or-values-not-supported"));
    EXPECT_EQ(ipp.status, 0) << ipp.output;

    for (const char* subcommand : {"add", "modify"}) {
      const IppResult cli = app.command({subcommand, "-d", subcommand == std::string("add") ? name : "kept", "-v", uri,
                                         "-m", kDriver});
      EXPECT_NE(cli.status, 0) << cli.output;
      EXPECT_NE(cli.output.find("Refusing the device URI '" + uri + "': only network printers"), std::string::npos)
          << cli.output;
    }
    EXPECT_EQ(ipptool(app.printerUri("kept"), setPrinterAttributeTest("uri", "smi55357-device-uri", uri,
                                                                       "client-error-attributes-or-values-not-supported"))
                  .status,
              0);
  }
  // A state file edited by hand brings no such printer back.
  app.stop();
  const std::string state = app.home() + "/app.state";
  std::string saved = readFile(state);
  ASSERT_NE(saved.find(printer.uri()), std::string::npos) << saved;
  saved.replace(saved.find(printer.uri()), printer.uri().size(), "file://" + trap + "/state");
  std::ofstream(state) << saved;
  app.start();
  const IppResult printers = app.command({"printers"});
  EXPECT_EQ(printers.output.find("kept"), std::string::npos) << printers.output;
  EXPECT_EQ(printers.output.find("refused"), std::string::npos) << printers.output;
  EXPECT_NE(app.log().find("No printer for the device URI 'file://" + trap + "/state'"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(trap));
  EXPECT_TRUE(app.running()) << app.log();
}

// Another host: a network namespace of the test's own, joined to this one
// by a veth pair with addresses of its own.
class RemoteHost {
 public:
  RemoteHost() {
    // A /30 of 198.18.0.0/15 (kept for tests like this one) of its own per
    // process, so that runs side by side do not share a route.
    const std::string id = std::to_string(getpid() % 10000);
    const unsigned block = static_cast<unsigned>(getpid()) % 32768 * 4;
    const std::string subnet =
        "198." + std::to_string(18 + block / 65536) + "." + std::to_string(block / 256 % 256) + ".";
    const unsigned host = block % 256;
    name_ = "tmk-test-" + id;
    link_ = "tmkh" + id;
    appAddress_ = subnet + std::to_string(host + 1);
    const std::string clientAddress = subnet + std::to_string(host + 2);
    const std::vector<std::vector<std::string>> steps = {
        {"netns", "add", name_},
        {"link", "add", link_, "type", "veth", "peer", "name", "tmkc" + id, "netns", name_},
        {"addr", "add", appAddress_ + "/30", "dev", link_},
        {"link", "set", link_, "up"},
        {"netns", "exec", name_, "ip", "addr", "add", clientAddress + "/30", "dev", "tmkc" + id},
        {"netns", "exec", name_, "ip", "link", "set", "tmkc" + id, "up"},
    };
    // What a run of the same number that was killed left behind.
    ip({"netns", "del", name_});
    ip({"link", "del", link_});
    for (const auto& step : steps) {
      const FilterResult result = ip(step);
      if (result.exitStatus != 0) {
        error_ = result.err.empty() ? "ip failed" : result.err;
        return;
      }
    }
  }
  ~RemoteHost() {
    ip({"netns", "del", name_});
    ip({"link", "del", link_});
  }

  const std::string& error() const { return error_; }
  // This host's address as the other one reaches it.
  const std::string& appAddress() const { return appAddress_; }

  IppResult ipptool(const std::string& uri, const std::string& test, const std::vector<std::string>& args = {}) const {
    TempDir dir;
    FilterRun run;
    run.args = {"netns", "exec", name_, TMK_IPPTOOL, "-t"};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.args.insert(run.args.end(), {uri, dir.write("request.test", test)});
    const FilterResult result = runFilter(run, "ip");
    return {result.exitStatus, result.out + result.err};
  }

  // Runs `work` in a thread that is on the other host.
  template <typename Work>
  void onHost(Work work) const {
    std::thread thread([&] {
      const int fd = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) work();
      if (fd >= 0) close(fd);
    });
    thread.join();
  }

 private:
  static FilterResult ip(const std::vector<std::string>& args) {
    FilterRun run;
    run.args = args;
    return runFilter(run, "ip");
  }

  std::string name_, link_, appAddress_, error_;
};

std::string systemOperationTest(const std::string& operation) {
  return "{\n  NAME \"" + operation + "\"\n  OPERATION " + operation +
         "\n  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n"
         "  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri system-uri $uri\n"
         "  ATTR integer printer-id 1\n"
         "  STATUS successful-ok\n}\n";
}

// A client on another host reaches nothing while the printers are not
// shared; once they are, it prints and sees the printer, and still
// administers nothing, on the web pages or over IPP. Nor does a local user
// who is no administrator.
TEST(AppAccess, OnlyLocalAdministratorsAdministerAndOtherHostsPrintOnlyWhenShared) {
  if (geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  if (!fs::exists(TMK_PPD_BUILD_DIR "/tmk38.ppd")) GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  const RemoteHost remote;
  if (!remote.error().empty()) GTEST_SKIP() << "no network namespace here: " << remote.error();
  PretendPrinter printer;
  const std::string commands = "SL203,24,G\r\nSW406\r\nSOT\r\nP1\r\n";
  TempDir dir;
  const std::string document = dir.write("commands", commands);

  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "not shared");
    PrinterApp app(TMK_PPD_BUILD_DIR, "",
                   shared ? std::vector<std::string>{"-o", "share-printers=true"} : std::vector<std::string>{});
    ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("labels", kDriver, printer.uri())).status, 0) << app.log();
    const std::string base = "ipp://" + remote.appAddress() + ":" + std::to_string(app.port()) + "/ipp/";

    const IppResult printed = remote.ipptool(base + "print/labels", printJobTest(""),
                                             {"-f", document, "-d", "filetype=application/vnd.tamrisk-label"});
    const IppResult seen = remote.ipptool(base + "print/labels",
                                          printerAttributesTest("printer-state", "  EXPECT printer-state\n"));
    if (shared) {
      EXPECT_EQ(printed.status, 0) << printed.output << app.log();
      EXPECT_NE(printer.take(commands.size()).find(commands), std::string::npos);
      EXPECT_EQ(seen.status, 0) << seen.output;
    } else {
      EXPECT_NE(printed.status, 0) << printed.output;
      EXPECT_NE(seen.status, 0) << seen.output;
    }

    struct Administration {
      std::string uri, test;
    };
    const Administration refused[] = {
        {base + "system", createPrinterTest("intruder", kDriver, printer.uri())},
        {base + "print/labels", setPrinterAttributeTest("text", "printer-location", "Intruder", "successful-ok")},
        {base + "system", systemOperationTest("Delete-Printer")},
        {base + "system", systemOperationTest("Shutdown-All-Printers")},
    };
    for (const Administration& request : refused) {
      const IppResult result = remote.ipptool(request.uri, request.test);
      EXPECT_NE(result.status, 0) << result.output;
      // The same from this machine, by a user outside the admin group.
      std::string local = request.uri;
      local.replace(local.find(remote.appAddress()), remote.appAddress().size(), "127.0.0.1");
      const std::string file = app.home() + "/request.test";  // nobody's to read
      std::ofstream(file) << request.test;
      FilterRun run;
      run.args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", TMK_IPPTOOL, "-t", local, file};
      const FilterResult byUser = runFilter(run, "setpriv");
      EXPECT_NE(byUser.exitStatus, 0) << byUser.out;
      EXPECT_NE(byUser.out.find("client-error-forbidden"), std::string::npos) << byUser.out;
    }
    int addPage = 0;
    int devicePage = 0;
    int deviceSettings = 0;
    std::vector<int> labels;
    std::vector<std::string> actions;
    std::string session;
    remote.onHost([&] {
      addPage = app.web("/addprinter", "", remote.appAddress()).status;
      devicePage = app.web("/labels/device", "", remote.appAddress()).status;
      deviceSettings = app.web("/labels/device-settings", "", remote.appAddress()).status;
      for (const char* path : {"/labels/labels", "/labels/labels?job=1&label=1", "/labels/labels.png?job=1&label=1"}) {
        labels.push_back(app.web(path, "", remote.appAddress()).status);
      }
      // The printer's page and its form token are seen where the page is;
      // what its forms do is administration.
      session = sessionOf(app.web("/labels", "", remote.appAddress()));
      for (const char* action : {"hold-new-jobs", "pause-printer", "print-test-page"}) {
        actions.push_back(app.web("/labels", "session=" + session + "&action=" + action, remote.appAddress()).body);
      }
    });
    EXPECT_NE(addPage, 200);
    // A printer's Device page is seen as its status page is; changed by nobody else.
    EXPECT_EQ(devicePage == 200, shared);
    EXPECT_NE(deviceSettings, 200);
    // What was printed (addresses, names) is for the local administrators.
    for (const int status : labels) EXPECT_NE(status, 200);
    EXPECT_EQ(!session.empty(), shared);
    for (const std::string& answer : actions) {
      EXPECT_EQ(answer.find("Holding new jobs."), std::string::npos);
      EXPECT_EQ(answer.find("Printer paused."), std::string::npos);
      EXPECT_EQ(answer.find("Test page printed."), std::string::npos);
    }
    // Nothing changed, and the app still answers at home.
    const IppResult printers = app.command({"printers"});
    EXPECT_NE(printers.output.find("labels"), std::string::npos) << printers.output;
    EXPECT_EQ(printers.output.find("intruder"), std::string::npos) << printers.output;
    EXPECT_NE(ipptool(app.printerUri("labels"),
                      printerAttributesTest("printer-location", "  EXPECT printer-location WITH-VALUE \"Intruder\"\n"))
                  .status,
              0);
    EXPECT_TRUE(app.running()) << app.log();
  }
}

// A second server of the same user would take over the first one's control
// socket, and the command line would then talk to the wrong server: it
// refuses. The socket lies where no other user reaches it, and goes with the
// server that made it.
TEST(AppAccess, ASecondServerLeavesTheFirstItsControlSocket) {
  PretendPrinter printer;
  const TempDir noPpds;
  PrinterApp app(noPpds.path());
  ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("first", kDriver, printer.uri())).status, 0) << app.log();
  const IppResult second = app.command({"server", "-o", "server-port=0", "-o", "private-server=true"});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.output.find("Another server is running on " + app.home() + "/tmk-printer-app"), std::string::npos)
      << second.output;
  EXPECT_NE(app.command({"printers"}).output.find("first"), std::string::npos);
  // PAPPL trusts whoever reaches the socket: its folder is the server's
  // user's alone.
  int sockets = 0;
  for (const auto& entry : fs::recursive_directory_iterator(app.home())) {
    if (!entry.is_socket()) continue;
    ++sockets;
    // Not in the temporary folder itself (here the app's home, TMPDIR),
    // which other users may share.
    EXPECT_NE(entry.path().parent_path(), fs::path(app.home())) << entry.path();
    const fs::perms folder = fs::status(entry.path().parent_path()).permissions();
    EXPECT_EQ(folder & (fs::perms::group_all | fs::perms::others_all), fs::perms::none) << entry.path();
  }
  EXPECT_EQ(sockets, 1);
  app.stop();
  for (const auto& entry : fs::recursive_directory_iterator(app.home())) {
    EXPECT_FALSE(entry.is_socket()) << entry.path();
  }
}

// No process of a job runs as root: the server refuses to, and everything
// it starts for a PDF (the prefilters, Ghostscript, the filter) is its user's.
TEST(AppAccess, NoProcessOfTheAppRunsAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can try to run the server as root";
  if (!fs::exists(TMK_PPD_BUILD_DIR "/tmk38.ppd")) GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  FilterRun run;
  run.args = {"server", "-o", "server-port=0", "-o", "private-server=true"};
  const FilterResult asRoot = runFilter(run, TMK_APP_PATH);
  EXPECT_NE(asRoot.exitStatus, 0);
  EXPECT_NE(asRoot.err.find("does not run as root"), std::string::npos) << asRoot.err;

  // A job held by a printer that stops reading, its filter running.
  PretendPrinter printer;
  printer.holdAfter(0);
  PrinterApp app(TMK_PPD_BUILD_DIR);
  ASSERT_EQ(ipptool(app.systemUri(), createPrinterTest("held", kDriver, printer.uri())).status, 0) << app.log();
  TempDir dir;
  const std::string document = dir.write("commands", std::string(4 << 20, 'x'));
  std::thread job([&] {
    ipptool(app.printerUri("held"), printJobTest(""), {"-f", document, "-d", "filetype=application/vnd.tamrisk-label"});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (app.children() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<std::string> owners = app.processOwners();
  EXPECT_GE(owners.size(), 2u) << "the app and its filter";
  for (const std::string& owner : owners) EXPECT_EQ(owner.find("\t0"), std::string::npos) << owner;
  printer.release();
  job.join();
}

}  // namespace
