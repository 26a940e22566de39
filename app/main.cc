// tmk-printer-app: the Tamrisk label printers as IPP Everywhere printers.
//
//   tmk-printer-app server [-o server-port=N] [-o spool-directory=DIR] [-o state-file=FILE]
//                          [-o tmk-filter=PATH] [-o tmk-ppd-directory=DIR]
//                          [-o tmk-prefilter-directory=DIR] ...
//
// and PAPPL's other subcommands (add, printers, submit, drivers, ...).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app.h"

AppPaths gPaths;

namespace {

constexpr const char* kName = "tmk-printer-app";
constexpr const char* kFooter = "rastertoTmkLabel " TMK_APP_VERSION " printer application";

std::string gStateFile;  // lives as long as the system that saves into it

pappl_loglevel_t logLevel(const char* value) {
  if (value == nullptr) return PAPPL_LOGLEVEL_WARN;
  if (std::strcmp(value, "fatal") == 0) return PAPPL_LOGLEVEL_FATAL;
  if (std::strcmp(value, "error") == 0) return PAPPL_LOGLEVEL_ERROR;
  if (std::strcmp(value, "info") == 0) return PAPPL_LOGLEVEL_INFO;
  if (std::strcmp(value, "debug") == 0) return PAPPL_LOGLEVEL_DEBUG;
  return PAPPL_LOGLEVEL_WARN;
}

pappl_soptions_t serverOptions(const char* value) {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (value == nullptr) return options;
  std::string list = value;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string item = list.substr(start, end - start);
    if (item == "none") options = PAPPL_SOPTIONS_NONE;
    if (item == "web-log") options |= PAPPL_SOPTIONS_WEB_LOG;
    if (item == "web-network") options |= PAPPL_SOPTIONS_WEB_NETWORK;
    if (item == "web-remote") options |= PAPPL_SOPTIONS_WEB_REMOTE;
    if (item == "web-security") options |= PAPPL_SOPTIONS_WEB_SECURITY;
    if (item == "no-tls") options |= PAPPL_SOPTIONS_NO_TLS;
    if (item == "no-web-interface") options &= ~pappl_soptions_t{PAPPL_SOPTIONS_WEB_INTERFACE};
    start = end + 1;
  }
  return options;
}

// Root spools under /var/spool; anyone else under their home, or the
// temporary folder without one.
std::string defaultSpoolDirectory() {
  if (getuid() == 0) return std::string("/var/spool/") + kName;
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    const std::string config = std::string(home) + "/.config";
    mkdir(config.c_str(), 0700);
    return config + "/" + kName + ".d";
  }
  return std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid()) + ".d";
}

pappl_system_t* makeSystem(int numOptions, cups_option_t* options, void* /*data*/) {
  const auto option = [&](const char* name) { return cupsGetOption(name, numOptions, options); };
  if (const char* filter = option("tmk-filter")) gPaths.filter = filter;
  if (const char* ppds = option("tmk-ppd-directory")) gPaths.ppdDirectory = ppds;
  if (const char* prefilters = option("tmk-prefilter-directory")) gPaths.prefilterDirectory = prefilters;

  int port = 0;
  if (const char* value = option("server-port")) {
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*end != '\0' || number < 0 || number > 65535) {
      std::fprintf(stderr, "%s: Bad server-port value '%s'.\n", kName, value);
      return nullptr;
    }
    port = static_cast<int>(number);
  }
  std::string spool = option("spool-directory") ? option("spool-directory") : defaultSpoolDirectory();
  if (mkdir(spool.c_str(), 0700) != 0 && errno != EEXIST) {
    std::perror(spool.c_str());
    return nullptr;
  }
  const char* logFile = option("log-file");
  pappl_system_t* system =
      papplSystemCreate(serverOptions(option("server-options")), "Tamrisk Label Printers", port, "_print,_universal",
                        spool.c_str(), logFile ? logFile : "-", logLevel(option("log-level")),
                        option("auth-service"), false);
  if (system == nullptr) return nullptr;
  // PDF, where the prefilters that render it are installed; before any
  // printer is made or loaded, as its formats are fixed then.
  if (pdfPrefiltersInstalled()) {
    papplSystemAddMIMEFilter(system, "application/pdf", kLabelFormat, printPdf, nullptr);
  } else {
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "No pdftopdf and gstoraster in %s (Debian package cups-filters): PDF is not offered.",
             gPaths.prefilterDirectory.c_str());
  }
  if (option("private-server") == nullptr) papplSystemAddListeners(system, option("listen-hostname"));
  if (const char* host = option("server-hostname")) papplSystemSetHostName(system, host);
  if (const char* group = option("admin-group")) papplSystemSetAdminGroup(system, group);
  papplSystemSetFooterHTML(system, kFooter);
  // Before PAPPL adds its own at start: the first page for a path wins.
  papplSystemAddResourceCallback(system, "/addprinter", "text/html", addPrinterPage, system);
  addWebStrings(system);
  const auto drivers = driverTable();
  papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(), nullptr, nullptr,
                               driverCallback, nullptr);
  // Without this option the main loop picks the state file: under
  // /var/lib for root, the user's configuration folder otherwise.
  if (const char* state = option("state-file")) {
    gStateFile = state;
    papplSystemLoadState(system, gStateFile.c_str());
    papplSystemSetSaveCallback(
        system, [](pappl_system_t* saved, void* file) { return papplSystemSaveState(saved, static_cast<char*>(file)); },
        gStateFile.data());
  }
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
  // A filter that ends while we write its input must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
  const auto drivers = driverTable();
  return papplMainloop(argc, argv, TMK_APP_VERSION, kFooter, static_cast<int>(drivers.size()), drivers.data(),
                       nullptr, driverCallback, nullptr, nullptr, makeSystem, nullptr, nullptr);
}
