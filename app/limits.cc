// What one job may take of the host: the size of a document in the spool,
// the jobs a printer holds, the size of a decoded image and the time a
// canceled job's processes get to end, all but the image size server
// options; and how many clients the server serves at once.
//
// PAPPL 1.3.1 has no setting for the first, so some of its calls are met
// here first: a function this program defines takes the place of PAPPL's and
// libcups' own for every caller, as the calls between their exported
// functions go through the PLT (interpose.h). The server does not start
// when a build's definitions are not the ones called.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "interpose.h"
#include "limits.h"
#include "server_settings.h"
#include "spawn.h"

AppLimits gLimits;

namespace {

// A whole number option within [least, most]; false with a message when it
// is not one.
bool numberOption(int numOptions, cups_option_t* options, const char* name, long long least, long long most,
                  long long& value) {
  const char* text = cupsGetOption(name, numOptions, options);
  if (text == nullptr) return true;
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || number < least || number > most) {
    std::fprintf(stderr, "tmk-printer-app: Bad %s value '%s' (%lld to %lld).\n", name, text, least, most);
    return false;
  }
  value = number;
  return true;
}

// The document limit in k-octets (1024 bytes), as IPP counts a job's size.
int documentKOctets() { return static_cast<int>(gLimits.documentBytes / 1024); }

// A second descriptor of the document PAPPL is copying into the spool in
// this thread, until the answer to the request that sent it.
thread_local Fd tSpooling;

std::string formatted(const char* format, va_list arguments) {
  va_list counting;
  va_copy(counting, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return "";
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  return text;
}

}  // namespace

// PAPPL 1.3.1 gives job-k-octets-supported the size of the spool's file
// system (about 252 GB) and pdf- and jpeg-k-octets-supported 0, read before
// the first is set: clients are told the document limit.
extern "C" ipp_attribute_t* ippAddRange(ipp_t* ipp, ipp_tag_t group, const char* name, int lower, int upper) {
  static const auto add = theirs<decltype(&ippAddRange)>("ippAddRange");
  if (name != nullptr && std::string_view(name).ends_with("k-octets-supported")) upper = documentKOctets();
  return add(ipp, group, name, lower, upper);
}

// PAPPL 1.3.1 copies a document into the spool through a file opened here,
// in the thread of the client that sends it, and answers a failed write with
// "Unable to write print file" and an errno that a short write leaves stale.
// The copy keeps a second descriptor so that the answer can tell a document
// over the limit (its file stops at the limit) from a full disk.
extern "C" int papplJobOpenFile(pappl_job_t* job, char* fname, size_t fnamesize, const char* directory,
                                const char* ext, const char* mode) {
  static const auto open = theirs<decltype(&papplJobOpenFile)>("papplJobOpenFile");
  const int fd = open(job, fname, fnamesize, directory, ext, mode);
  if (fd >= 0 && ext == nullptr && mode != nullptr && std::strcmp(mode, "w") == 0) {
    tSpooling = Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  }
  return fd;
}

// The answers PAPPL 1.3.1 gives when a limit is reached say why: a document
// over the limit gets client-error-request-entity-too-large (which a CUPS
// queue takes for the job's failure, where a server error stops the queue),
// a printer with all the jobs it takes server-error-busy with that reason.
extern "C" ipp_t* papplClientRespondIPP(pappl_client_t* client, ipp_status_t status, const char* message, ...) {
  static const auto respond = theirs<decltype(&papplClientRespondIPP)>("papplClientRespondIPP");
  const Fd spooled = std::move(tSpooling);
  struct stat file {};
  if (status == IPP_STATUS_ERROR_INTERNAL && message != nullptr &&
      std::string_view(message).starts_with("Unable to write print file") && spooled.get() >= 0 &&
      fstat(spooled.get(), &file) == 0 && static_cast<uint64_t>(file.st_size) >= gLimits.documentBytes) {
    return respond(client, IPP_STATUS_ERROR_REQUEST_ENTITY, "The document is larger than the limit of %llu MiB.",
                   static_cast<unsigned long long>(gLimits.documentBytes >> 20));
  }
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (status == IPP_STATUS_ERROR_BUSY && printer != nullptr && papplPrinterGetMaxActiveJobs(printer) > 0 &&
      papplPrinterGetNumberOfActiveJobs(printer) >= papplPrinterGetMaxActiveJobs(printer)) {
    return respond(client, status, "The printer has %d jobs, as many as it takes: try again later.",
                   papplPrinterGetMaxActiveJobs(printer));
  }
  if (message == nullptr) return respond(client, status, nullptr);
  va_list arguments;
  va_start(arguments, message);
  const std::string text = formatted(message, arguments);
  va_end(arguments);
  return respond(client, status, "%s", text.c_str());
}

bool setUpLimits(int numOptions, cups_option_t* options) {
  long long mib = static_cast<long long>(gLimits.documentBytes >> 20);
  long long jobs = gLimits.activeJobs;
  long long delay = gLimits.killDelay.count();
  long long clients = gLimits.clients;
  // k-octets are an IPP integer; PAPPL serves at most 32768 clients.
  if (!numberOption(numOptions, options, "max-document-size", 1, INT32_MAX / 1024, mib) ||
      !numberOption(numOptions, options, "max-active-jobs", 1, 65535, jobs) ||
      !numberOption(numOptions, options, "job-kill-delay", 1, 3600, delay) ||
      !numberOption(numOptions, options, "max-clients", 1, 32768, clients)) {
    return false;
  }
  gLimits.documentBytes = static_cast<uint64_t>(mib) << 20;
  gLimits.activeJobs = static_cast<int>(jobs);
  gLimits.killDelay = std::chrono::seconds(delay);
  gLimits.clients = static_cast<int>(clients);

  if (!ours("ippAddRange", reinterpret_cast<void*>(&ippAddRange)) ||
      !ours("papplJobOpenFile", reinterpret_cast<void*>(&papplJobOpenFile)) ||
      !ours("papplClientRespondIPP", reinterpret_cast<void*>(&papplClientRespondIPP))) {
    std::fprintf(stderr, "tmk-printer-app: This build cannot bound jobs with this PAPPL (built for 1.3.1).\n");
    return false;
  }

  // The app writes no other files than the spool's, its state and its log
  // (which PAPPL starts anew at 1 MiB), so a file size limit bounds a
  // document in the spool whichever way it comes. A write past it fails
  // instead of ending the app; the children get their own limits.
  rlimit fileSize{};
  if (getrlimit(RLIMIT_FSIZE, &fileSize) != 0) return false;
  gStartFileSize = fileSize.rlim_cur;
  fileSize.rlim_cur = std::min<rlim_t>(gLimits.documentBytes, fileSize.rlim_max);
  std::signal(SIGXFSZ, SIG_IGN);
  if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
    std::perror("tmk-printer-app: setrlimit");
    return false;
  }
  return true;
}

void applyLimits(pappl_system_t* system) {
  papplSystemSetMaxImageSize(system, kMaxImageBytes, kMaxImagePixels, kMaxImagePixels);
  // PAPPL's own is half the descriptors the app may open (10000 where 20000
  // are allowed), each client a thread that waits 30 s for a byte and is
  // kept by one now and then. At the limit PAPPL's main loop takes no
  // connection, on the control socket neither, and looks again only when
  // its wait ends, up to 30 s later: a timer that does nothing (called on
  // that loop's thread, the system's read lock held) ends it each second.
  papplSystemSetMaxClients(system, gLimits.clients);
  papplSystemAddTimerCallback(system, 0, 1, [](pappl_system_t*, void*) { return true; }, nullptr);
  papplSystemIteratePrinters(system, [](pappl_printer_t* printer, void*) { limitPrinter(printer); }, nullptr);
}

void limitPrinter(pappl_printer_t* printer) { papplPrinterSetMaxActiveJobs(printer, gLimits.activeJobs); }
