// What a job's filter gets of the app: its descriptors, its signals, its
// priority and its limits, told by a filter that prints them as the job.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "app_harness.h"
#include "support/temp_dir.h"

namespace {

// The filter's own view of itself, in place of labels. Its signals are read
// by the shell itself: dash blocks them all for a moment as it starts a
// program.
constexpr const char* kProbe = R"sh(#!/bin/sh
read -r _ _ _ _ _ _ _ _ _ _ _ _ _ _ _ _ _ _ nice _ < /proc/$$/stat
echo "nice $nice"
while read -r key value; do
  case $key in SigIgn:|SigBlk:) echo "${key%:} $value" ;; esac
done < /proc/$$/status
echo "fsize $(ulimit -f)"
find /proc/$$/fd -mindepth 1 -printf 'fd %f %l\n'
)sh";

TEST(PrinterAppSpawn, AFilterGetsItsChannelsAndNothingElseOfTheApp) {
  if (!std::filesystem::exists(std::string(TMK_PPD_BUILD_DIR) + "/tmk38.ppd")) {
    GTEST_SKIP() << "no generated PPDs (ppdc missing)";
  }
  TempDir dir;
  const std::string probe = dir.write("filter", kProbe);
  chmod(dir.path().c_str(), 0755);
  chmod(probe.c_str(), 0755);
  PretendPrinter printer;
  // The app's own file size limit is its document limit.
  PrinterApp app(TMK_PPD_BUILD_DIR, probe, {"-o", "max-document-size=1"});
  const IppResult created =
      ipptool(app.systemUri(), createPrinterTest("probe", "tamrisk_standard-203dpi", printer.uri()));
  ASSERT_EQ(created.status, 0) << created.output;
  const IppResult printed = ipptool(app.printerUri("probe"), printJobTest(""),
                                    {"-f", dir.write("document", "P1\r\n"), "-d",
                                     "filetype=application/vnd.tamrisk-label"});
  ASSERT_EQ(printed.status, 0) << printed.output << app.log();

  std::map<std::string, std::string> seen;
  std::istringstream lines(printer.take(SIZE_MAX));
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.find(' ', line.starts_with("fd ") ? 3 : 0);
    seen[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
  }
  EXPECT_GE(std::stoi(seen["nice"]), 10);
  // The app ignores SIGPIPE and SIGXFSZ and blocks every signal as it starts
  // a child: the filter ends by SIGTERM, and at a closed pipe or its file
  // size limit, as any program would.
  const unsigned long long ignored = std::stoull(seen["SigIgn"], nullptr, 16);
  for (const int signal : {SIGTERM, SIGPIPE, SIGXFSZ, SIGHUP, SIGINT}) {
    EXPECT_EQ(ignored & (1ULL << (signal - 1)), 0U) << "signal " << signal;
  }
  EXPECT_EQ(seen["SigBlk"], "0000000000000000");
  rlimit fileSize{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &fileSize), 0);
  EXPECT_EQ(seen["fsize"],
            fileSize.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(fileSize.rlim_cur / 512));
  // A raw job's file is an argument; the labels, the messages and the back
  // channel are pipes, the side channel a socket; PAPPL's sockets stay.
  const std::map<std::string, std::string> expected{{"fd 0", "/dev/null"}, {"fd 1", "pipe"}, {"fd 2", "pipe"},
                                                    {"fd 3", "pipe"},      {"fd 4", "socket"}};
  std::map<std::string, std::string> descriptors;
  for (const auto& [key, target] : seen) {
    // The shell keeps one of the script itself.
    if (key.starts_with("fd ") && target != probe) descriptors[key] = target.substr(0, target.find(':'));
  }
  EXPECT_EQ(descriptors, expected);
}

}  // namespace
