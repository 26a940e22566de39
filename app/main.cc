// tmk-printer-app: the Tamrisk label printers as IPP Everywhere printers.
//
//   tmk-printer-app server [-o server-port=N] [-o spool-directory=DIR] [-o state-file=FILE]
//                          [-o share-printers=true] [-o listen-hostname=HOST] [-o admin-group=GROUP]
//                          [-o control-socket=PATH] [-o tmk-filter=PATH] [-o tmk-ppd-directory=DIR]
//                          [-o tmk-prefilter-directory=DIR] [-o max-document-size=MIB]
//                          [-o max-active-jobs=N] [-o job-kill-delay=SECONDS] [-o max-clients=N] ...
//
// and PAPPL's other subcommands (add, printers, submit, drivers, ...).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"
#include "device_uri.h"
#include "app_icons.h"
#include "connection_limits.h"
#include "drivers.h"
#include "jobs.h"
#include "limits.h"
#include "printer_driver.h"
#include "server_settings.h"
#include "server_stop.h"
#include "job_expiry.h"
#include "job_order.h"
#include "request_guard.h"
#include "state_load.h"
#include "spawn.h"
#include "state_save.h"
#include "web.h"
#include "web_guard.h"

AppPaths gPaths;

namespace {

constexpr const char* kName = "tmk-printer-app";
constexpr const char* kSystemName = "Tamrisk Label Printers";
// HTML, the same on every page.
constexpr const char* kFooter =
    "Tamrisk Label Printers &middot; rastertoTmkLabel " TMK_APP_VERSION " printer application";

std::string gStateFile;  // lives as long as the system that saves into it
// The control sockets this server made, removed when it ends: PAPPL leaves
// them behind.
std::vector<std::string> gSockets;

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
    // Not web-security: who administers is the server options' to say
    // (admin-group), not a web page's.
    if (item == "no-tls") options |= PAPPL_SOPTIONS_NO_TLS;
    if (item == "no-web-interface") options &= ~pappl_soptions_t{PAPPL_SOPTIONS_WEB_INTERFACE};
    start = end + 1;
  }
  return options;
}

// Where a user's printers and jobs are kept unless the options say: the
// configuration folder, or the temporary one without a home. `suffix` is
// ".state" or ".d".
std::string userFile(const char* suffix) {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    const std::string config = std::string(home) + "/.config";
    mkdir(config.c_str(), 0700);
    return config + "/" + kName + suffix;
  }
  return std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid()) + suffix;
}

bool isTrue(const char* value) {
  return value != nullptr && (std::strcmp(value, "true") == 0 || std::strcmp(value, "yes") == 0 ||
                              std::strcmp(value, "on") == 0 || std::strcmp(value, "1") == 0);
}

// True when a server answers on the domain socket `path`.
bool answers(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

// The control socket PAPPL's main loop gives a server of this user, and
// where its command line looks for root's.
std::string baseName;
std::string userSocket() { return std::string(papplGetTempDir()) + "/" + baseName + std::to_string(getuid()) + ".sock"; }
std::string rootSocket() { return "/run/" + baseName + ".sock"; }

// Loopback only, unless the printers are shared: then every address, or
// the one named.
bool listenForClients(pappl_system_t* system, const char* hostname) {
  const bool shared = gAccessPolicy.shared;
  if (shared && hostname != nullptr) return papplSystemAddListeners(system, hostname);
  if (hostname != nullptr) papplLog(system, PAPPL_LOGLEVEL_WARN, "listen-hostname is used only with share-printers=true.");
  // Each family by its own address: PAPPL 1.3.1 listens on only the first
  // address of a name, and stops at IPv4 when asked for any address.
  if (!papplSystemAddListeners(system, shared ? "0.0.0.0" : "127.0.0.1")) {
    std::fprintf(stderr, "%s: Unable to listen on port %d (in use by another program?).\n", kName,
                 papplSystemGetHostPort(system));
    return false;
  }
  if (!papplSystemAddListeners(system, shared ? "[::]" : "[::1]")) {
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Not listening on IPv6 (none here).");
  }
  return true;
}

// Printers are announced by DNS-SD only when they are shared: a printer
// that only this machine reaches is nobody else's business.
void printerCreated(pappl_printer_t* printer, void* /*data*/) {
  if (!gAccessPolicy.shared) papplPrinterSetDNSSDName(printer, nullptr);
  limitPrinter(printer);
  addLabelsPages(printer);
  addDevicePages(printer);
}

pappl_system_t* makeSystem(int numOptions, cups_option_t* options, void* /*data*/) {
  const auto option = [&](const char* name) { return cupsGetOption(name, numOptions, options); };
  // Before any thread is made (PAPPL's DNS-SD makes one with the system).
  blockStopSignals();
  // The server parses documents from anyone: never as root.
  if (getuid() == 0 || geteuid() == 0) {
    std::fprintf(stderr,
                 "%s: The server does not run as root. Run it as an unprivileged user; the service runs as the "
                 "user %s.\n",
                 kName, kName);
    return nullptr;
  }
  // A second server would take over the first one's control sockets.
  const char* control = option("control-socket");
  for (const std::string& path : {userSocket(), std::string(control != nullptr ? control : "")}) {
    if (!path.empty() && answers(path)) {
      std::fprintf(stderr, "%s: Another server is running on %s; stop it first.\n", kName, path.c_str());
      return nullptr;
    }
  }
  // Drawn before the server listens (tens of milliseconds): a client that
  // finds the port open finds the rest of the server soon after.
  const AppIcons& icons = appIcons();
  gAccessPolicy.shared = isTrue(option("share-printers"));
  if (const char* filter = option("tmk-filter")) gPaths.filter = filter;
  if (const char* ppds = option("tmk-ppd-directory")) gPaths.ppdDirectory = ppds;
  if (const char* prefilters = option("tmk-prefilter-directory")) gPaths.prefilterDirectory = prefilters;
  if (!setUpLimits(numOptions, options)) return nullptr;
  if (!webGuarded() || !requestsGuarded() || !connectionsLimited() || !jobsInArrivalOrder()) {
    std::fprintf(stderr, "%s: This build cannot guard the web pages with this PAPPL (built for 1.3.1).\n", kName);
    return nullptr;
  }
  if (!everywhereMarginsListed()) {
    std::fprintf(stderr, "%s: This build cannot list the media sizes with this PAPPL (built for 1.3.1).\n", kName);
    return nullptr;
  }

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
  std::string spool = option("spool-directory") ? option("spool-directory") : userFile(".d");
  if (mkdir(spool.c_str(), 0700) != 0 && errno != EEXIST) {
    std::perror(spool.c_str());
    return nullptr;
  }
  gPaths.spoolDirectory = spool;
  const char* logFile = option("log-file");
  // No PAM service: PAPPL's would ask any client for a password over the
  // network, and a server that is not root cannot check one.
  pappl_system_t* system =
      papplSystemCreate(serverOptions(option("server-options")), kSystemName, port, "_print,_universal",
                        spool.c_str(), logFile ? logFile : "-", logLevel(option("log-level")), nullptr, false);
  if (system == nullptr) return nullptr;
  setAccessSystem(system);
  if (control != nullptr && *control != '\0') {
    if (!papplSystemAddListeners(system, control)) {
      std::fprintf(stderr, "%s: Unable to listen on %s.\n", kName, control);
      papplSystemDelete(system);
      return nullptr;
    }
    gSockets.emplace_back(control);
  }
  gSockets.push_back(userSocket());
  // Images are decoded by the app, which bounds them (before PAPPL's own
  // filters, as the printer's format is looked for first).
  papplSystemAddMIMEFilter(system, "image/png", kLabelFormat, printImage, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kLabelFormat, printImage, nullptr);
  // PWG raster that reaches the spool (the app spools what clients send,
  // where this PAPPL lets it; the command line's submit always does).
  papplSystemAddMIMEFilter(system, "image/pwg-raster", kLabelFormat, printPwgDocument, nullptr);
  papplSystemAddMIMEFilter(system, "image/urf", kLabelFormat, printAppleRasterDocument, nullptr);
  // PDF, where the prefilters that render it are installed; before any
  // printer is made or loaded, as its formats are fixed then.
  if (pdfPrefiltersInstalled()) {
    papplSystemAddMIMEFilter(system, "application/pdf", kLabelFormat, printPdf, nullptr);
  } else {
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "No pdftopdf and gstoraster in %s (Debian package cups-filters): PDF is not offered.",
             gPaths.prefilterDirectory.c_str());
  }
  if (const char* name = option("listen-hostname")) gAccessPolicy.listenName = name;
  if (option("private-server") == nullptr && !listenForClients(system, option("listen-hostname"))) {
    papplSystemDelete(system);
    return nullptr;
  }
  if (const char* host = option("server-hostname")) papplSystemSetHostName(system, host);
  // Administration needs a group: without one PAPPL asks nobody.
  if (const char* group = option("admin-group"); group != nullptr && *group != '\0') gAccessPolicy.adminGroup = group;
  papplSystemSetAuthCallback(system, nullptr, authorizeClient, &gAccessPolicy);
  papplSystemSetFooterHTML(system, kFooter);
  // PAPPL's header shows only its icon: the app's name goes beside it, and
  // its own pictogram in place of PAPPL's (added before PAPPL's at start).
  papplSystemAddLink(system, kSystemName, "/", PAPPL_LOPTIONS_NAVIGATION);
  if (!icons.small.empty() && !icons.medium.empty()) {
    papplSystemAddResourceData(system, "/navicon.png", "image/png", icons.small.data(), icons.small.size());
    papplSystemAddResourceData(system, "/favicon.png", "image/png", icons.medium.data(), icons.medium.size());
  }
  // Before PAPPL adds its own at start: the first page for a path wins.
  papplSystemAddResourceCallback(system, "/addprinter", "text/html", addPrinterPage, system);
  addWebStrings(system);
  const auto drivers = driverTable();
  papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(), nullptr, printerCreated,
                               driverCallback, nullptr);
  gStateFile = option("state-file") ? option("state-file") : userFile(".state");
  if (!loadState(system, gStateFile)) {
    std::fprintf(stderr, "%s: Cannot read the state file %s; see the log.\n", kName, gStateFile.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  papplSystemSetSaveCallback(system, stateSaveCallback(system, gStateFile.c_str()), gStateFile.data());
  // After the state, which keeps PAPPL's own image and job limits and who
  // administers and prints.
  applyLimits(system);
  applyAccessPolicy(system);
  if (!startJobExpiry(system) || !startWaitingJobs(system) || !startStopWatch(system, gSockets)) {
    papplSystemDelete(system);
    return nullptr;
  }
  // The state file names the DNS-SD names the printers had when shared.
  if (!gAccessPolicy.shared) {
    papplSystemSetDNSSDName(system, nullptr);
    papplSystemIteratePrinters(
        system, [](pappl_printer_t* printer, void*) { papplPrinterSetDNSSDName(printer, nullptr); }, nullptr);
  }
  return system;
}

// PAPPL makes a user's control socket in the temporary folder, open to every
// local user, and trusts whoever connects to it with everything. So the
// server and the command line of a user other than root (root's server does
// not run, and its command line looks in /run) take a folder in it that only
// that user may enter as their temporary folder; PAPPL reads TMPDIR once.
bool usePrivateTempDir() {
  if (getuid() == 0) return true;
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = tmpdir != nullptr && access(tmpdir, W_OK) == 0 ? tmpdir : "/tmp";
  const std::string folder = base + "/" + baseName + "-" + std::to_string(getuid());
  struct stat info {};
  if ((mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) || lstat(folder.c_str(), &info) != 0) {
    std::perror(folder.c_str());
    return false;
  }
  // One that someone else made first, or opened, is not ours to use.
  if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
    std::fprintf(stderr, "%s: %s is not a folder of yours alone; remove it.\n", kName, folder.c_str());
    return false;
  }
  return setenv("TMPDIR", folder.c_str(), 1) == 0;
}

// The letters of PAPPL's command line options that take a value.
constexpr std::string_view kValueOptions = "dhjmnotuv";

// The device URIs a command line gives, as PAPPL's main loop reads them:
// -v URI, or smi55357-device-uri among the -o options.
std::vector<std::string> deviceUris(int argc, char* argv[]) {
  std::vector<std::string> uris;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') continue;
    // PAPPL 1.3.1 reads each letter of "-xy" as the first one.
    for (size_t letter = 1; letter < arg.size(); ++letter) {
      if (kValueOptions.find(arg[1]) == std::string_view::npos || ++i >= argc) break;
      if (arg[1] == 'v') uris.emplace_back(argv[i]);
      if (arg[1] == 'o') {
        cups_option_t* parsed = nullptr;
        const int count = cupsParseOptions(argv[i], 0, &parsed);
        if (const char* uri = cupsGetOption("smi55357-device-uri", count, parsed)) uris.emplace_back(uri);
        cupsFreeOptions(count, parsed);
      }
    }
  }
  return uris;
}

// The subcommand: the first argument that is no option nor an option's value.
std::string_view subcommand(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() < 2 || arg[0] != '-') return arg;
    if (arg[1] != '-' && kValueOptions.find(arg[1]) != std::string_view::npos) ++i;
  }
  return "";
}

}  // namespace

int main(int argc, char* argv[]) {
  // A filter that ends while we write its input must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string_view program = argv[0];
  baseName = program.substr(program.rfind('/') + 1);
  if (!usePrivateTempDir()) return 1;
  for (const std::string& uri : deviceUris(argc, argv)) {
    if (const std::string why = deviceUriRefusal(uri); !why.empty()) {
      std::fprintf(stderr, "%s: Refusing the device URI '%s': %s.\n", kName, uri.c_str(), why.c_str());
      return 1;
    }
  }
  // PAPPL's command line starts a server of its own where none answers, one
  // that nobody asked for and that outlives the command (root's would run
  // as root): the command asks the running server or fails.
  const std::string_view command = subcommand(argc, argv);
  const bool needsServer = !command.empty() && command != "server" && command != "devices" && command != "drivers";
  if (needsServer && !(getuid() != 0 && answers(userSocket())) && !answers(rootSocket())) {
    std::fprintf(stderr, "%s: No server answers on %s%s%s: is the %s service running?\n", kName,
                 getuid() != 0 ? userSocket().c_str() : "", getuid() != 0 ? " or " : "", rootSocket().c_str(), kName);
    return 1;
  }
  // PAPPL 1.3.1 passes `-n COPIES` on as "num-copies", which no job reads:
  // it goes as the copies attribute instead.
  std::vector<std::string> words(argv, argv + argc);
  for (size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] == "--") break;
    if (words[i] == "-n") {
      words[i] = "-o";
      words[i + 1] = "copies=" + words[i + 1];
    }
    if (words[i].size() == 2 && words[i][0] == '-' && kValueOptions.find(words[i][1]) != std::string_view::npos) ++i;
  }
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  const auto drivers = driverTable();
  const int status = papplMainloop(argc, arguments.data(), TMK_APP_VERSION, kFooter, static_cast<int>(drivers.size()),
                                   drivers.data(), nullptr, driverCallback, nullptr, nullptr, makeSystem, nullptr,
                                   nullptr);
  // Where PAPPL's loop ended (a Shutdown request), its jobs' threads may
  // still run: what they started goes, Ghostscript too, which no parent's
  // death would end. A signal ends the server in the stop watch instead.
  endChildren();
  for (const std::string& path : gSockets) unlink(path.c_str());
  return status;
}
