// `cmake --install` into a scratch root through DESTDIR: the filter where CUPS
// runs filters, a PPD per model where CUPS lists them, tmk-decode and its
// manual page, and the printer application with its own and its service's
// files (the unit, tmpfiles.d, udev rule, options), with the modes CUPS,
// systemd and users need.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "settings/models.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string underPrefix(const std::string& folder) {
  return fs::path(folder).is_absolute() ? folder : "/usr/" + folder;
}

int modeOf(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

TEST(Install, PutsEveryFileWhereCupsSystemdAndUsersLook) {
  TempDir root;
  const std::string command = "DESTDIR=" + root.path() + " " TMK_CMAKE_COMMAND " --install " TMK_BINARY_DIR
                              " --prefix /usr > " + root.path() + "/install.log 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << readFile(root.path() + "/install.log");
  fs::remove(root.path() + "/install.log");

  // Programs 0755, data 0644, whatever the umask of the install.
  std::map<std::string, int> expected{{TMK_CUPS_SERVERBIN "/filter/rastertoTmkLabel", 0755},
                                      {"/usr/bin/tmk-decode", 0755},
                                      {"/usr/share/man/man1/tmk-decode.1", 0644}};
#ifdef TMK_APP_INSTALLED
  expected["/usr/sbin/tmk-printer-app"] = 0755;
  expected["/usr/share/man/man8/tmk-printer-app.8"] = 0644;
  expected[underPrefix(TMK_SYSTEMD_UNIT_DIR) + "/tmk-printer-app.service"] = 0644;
  expected[underPrefix(TMK_TMPFILES_DIR) + "/tmk-printer-app.conf"] = 0644;
  expected[underPrefix(TMK_UDEV_RULES_DIR) + "/60-tmk-printer-app.rules"] = 0644;
  expected[TMK_SYSCONFDIR "/default/tmk-printer-app"] = 0644;
#endif
  const std::string ppdDir = underPrefix(TMK_PPD_DIR);
  for (const int32_t model : kSupportedModels) {
    expected[ppdDir + "/tmk" + std::to_string(model) + ".ppd"] = 0644;
  }

  std::map<std::string, int> installed;
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    const std::string path = entry.path().string().substr(root.path().size());
    // CUPS runs nothing from a folder or file that others may write.
    EXPECT_EQ(modeOf(entry.path()) & 022, 0) << path;
    if (entry.is_regular_file() && expected.contains(path)) installed[path] = modeOf(entry.path());
  }
  EXPECT_EQ(installed, expected);

  // The installed PPDs name a filter that is there for CUPS.
  std::string check = TMK_CUPSTESTPPD " -q -R " + root.path();
  for (const int32_t model : kSupportedModels) {
    check += " " + root.path() + ppdDir + "/tmk" + std::to_string(model) + ".ppd";
  }
  EXPECT_EQ(std::system(check.c_str()), 0) << check;
}

}  // namespace
