// What one job may take of the host: the size of a document in the spool,
// the jobs a printer holds and one user of them, the size of the whole
// spool, the size of a decoded image and the time a canceled job's
// processes get to end, all but the image size server options; and how
// many clients the server serves at once.
//
// PAPPL 1.3.1 has no setting for the first, so some of its calls are met
// here first: a function this program defines takes the place of PAPPL's and
// libcups' own for every caller, as the calls between their exported
// functions go through the PLT (interpose.h). The server does not start
// when a build's definitions are not the ones called.
#include <dirent.h>
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
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "interpose.h"
#include "job_expiry.h"
#include "limits.h"
#include "server_settings.h"
#include "spawn.h"
#include "state_save.h"

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
// this thread, until the answer to the request that sent it; meanwhile its
// job waits for it however long it takes.
thread_local Fd tSpooling;
thread_local std::optional<ArrivingDocument> tArriving;
// The bytes of it read since the spool was last measured, and whether the
// spool was found full.
thread_local uint64_t tUnmeasured = 0;
thread_local bool tSpoolFull = false;
// The spool is measured again after this much of a document.
constexpr uint64_t kMeasureEvery = uint64_t{1} << 20;

// The bytes of the files in the spool: the documents, those on their way
// included, and PAPPL's job attribute files. A few hundred files at most
// (the printers' job limits), read in well under a millisecond.
uint64_t spoolUsage() {
  DIR* folder = opendir(gPaths.spoolDirectory.c_str());
  if (folder == nullptr) return 0;
  uint64_t total = 0;
  while (const dirent* entry = readdir(folder)) {
    struct stat file {};
    if (fstatat(dirfd(folder), entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode)) {
      total += static_cast<uint64_t>(file.st_size);
    }
  }
  closedir(folder);
  return total;
}

struct OwnerCount {
  const Peer* peer;
  const std::string* owner;
  int count = 0;
};

// With the printer's lock held by the iteration.
void countOwnersJob(pappl_job_t* job, void* data) {
  auto& counting = *static_cast<OwnerCount*>(data);
  if (counting.peer->kind == Peer::Kind::OtherHost) {
    ipp_attribute_t* host = papplJobGetAttribute(job, "job-originating-host-name");
    const char* name = host != nullptr ? ippGetString(host, 0, nullptr) : nullptr;
    if (name != nullptr && counting.peer->name == name) ++counting.count;
  } else if (const char* user = papplJobGetUsername(job); user != nullptr && *counting.owner == user) {
    ++counting.count;
  }
}

// Operations whose success a client relies on outliving a crash: a job
// accepted, or taken back.
bool changesJobs(ipp_op_t op) {
  switch (op) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_CANCEL_JOBS:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_CANCEL_CURRENT_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
      return true;
    default:
      return false;
  }
}

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
  // PAPPL's job attribute files, as it saves the state.
  if (ext != nullptr && std::strcmp(ext, "ipp") == 0 && mode != nullptr) {
    const std::optional<int> handled = std::strcmp(mode, "w") == 0 ? openJobAttributesForSave(job, fname, fnamesize, directory)
                                       : std::strcmp(mode, "x") == 0 ? removeJobAttributesForSave(job, fname, fnamesize, directory)
                                                                     : std::nullopt;
    if (handled) return *handled;
  }
  const int fd = open(job, fname, fnamesize, directory, ext, mode);
  if (fd >= 0 && ext == nullptr && mode != nullptr && std::strcmp(mode, "w") == 0) {
    tSpooling = Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    tArriving.emplace(job);
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
  tArriving.reset();
  const bool spoolFull = std::exchange(tSpoolFull, false);
  if (spoolFull && status == IPP_STATUS_ERROR_INTERNAL) {
    return respond(client, IPP_STATUS_ERROR_BUSY, "The spool holds %llu MiB of documents, as much as it takes: try again later.",
                   static_cast<unsigned long long>(gLimits.spoolBytes >> 20));
  }
  struct stat file {};
  if (status == IPP_STATUS_ERROR_INTERNAL && message != nullptr &&
      std::string_view(message).starts_with("Unable to write print file") && spooled.get() >= 0 &&
      fstat(spooled.get(), &file) == 0 && static_cast<uint64_t>(file.st_size) >= gLimits.documentBytes) {
    return respond(client, IPP_STATUS_ERROR_REQUEST_ENTITY, "The document is larger than the limit of %llu MiB.",
                   static_cast<unsigned long long>(gLimits.documentBytes >> 20));
  }
  if (status == IPP_STATUS_OK && changesJobs(papplClientGetOperation(client))) {
    // The client is told once its document and the job's record are on
    // disk: an fsync of the document, and a save shared with whoever else
    // waits for one.
    if (spooled.get() >= 0 && fsync(spooled.get()) != 0) {
      papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Unable to sync the document to disk: %s", std::strerror(errno));
    }
    if (!saveStateNow(papplClientGetSystem(client))) {
      papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "The job's record is not on disk yet.");
    }
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

// PAPPL copies a document into the spool with this, in the thread of the
// client that sends it (and reads every request with it): while a document
// is copied the spool is measured every MiB, and the copy fails once the
// spool is full, which the answer then says.
extern "C" ssize_t httpRead2(http_t* http, char* buffer, size_t length) {
  static const auto read = theirs<decltype(&httpRead2)>("httpRead2");
  const ssize_t got = read(http, buffer, length);
  if (got <= 0 || tSpooling.get() < 0 || tSpoolFull) return got;
  tUnmeasured += static_cast<uint64_t>(got);
  if (tUnmeasured < kMeasureEvery) return got;
  tUnmeasured = 0;
  if (spoolUsage() + static_cast<uint64_t>(got) <= gLimits.spoolBytes) return got;
  // Once: the rest of the document is read and dropped as after any error.
  tSpoolFull = true;
  return -1;
}

bool admitJob(pappl_client_t* client, pappl_printer_t* printer, ipp_op_t op, const Peer& peer,
              const std::string& owner, bool administrator) {
  if (op != IPP_OP_SEND_DOCUMENT && !administrator) {
    OwnerCount counting{&peer, &owner};
    papplPrinterIterateActiveJobs(printer, countOwnersJob, &counting, 1, 0);
    if (counting.count >= gLimits.jobsPerOwner) {
      papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused a job: %s has %d jobs on the printer.",
                     peer.kind == Peer::Kind::OtherHost ? peer.name.c_str() : owner.c_str(), counting.count);
      papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY,
                            "You have %d jobs on this printer, as many as one user may have: try again later.",
                            counting.count);
      return false;
    }
  }
  if (op != IPP_OP_CREATE_JOB && spoolUsage() >= gLimits.spoolBytes) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused a document: the spool is full.");
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY,
                          "The spool holds %llu MiB of documents, as much as it takes: try again later.",
                          static_cast<unsigned long long>(gLimits.spoolBytes >> 20));
    return false;
  }
  tUnmeasured = 0;
  return true;
}

bool setUpLimits(int numOptions, cups_option_t* options) {
  long long mib = static_cast<long long>(gLimits.documentBytes >> 20);
  long long jobs = gLimits.activeJobs;
  long long perOwner = gLimits.jobsPerOwner;
  long long spoolMib = static_cast<long long>(gLimits.spoolBytes >> 20);
  long long delay = gLimits.killDelay.count();
  long long clients = gLimits.clients;
  // k-octets are an IPP integer; PAPPL serves at most 32768 clients.
  if (!numberOption(numOptions, options, "max-document-size", 1, INT32_MAX / 1024, mib) ||
      !numberOption(numOptions, options, "max-active-jobs", 1, 65535, jobs) ||
      !numberOption(numOptions, options, "max-jobs-per-user", 1, 65535, perOwner) ||
      !numberOption(numOptions, options, "max-spool-size", 1, INT32_MAX, spoolMib) ||
      !numberOption(numOptions, options, "job-kill-delay", 1, 3600, delay) ||
      !numberOption(numOptions, options, "max-clients", 1, 32768, clients)) {
    return false;
  }
  gLimits.documentBytes = static_cast<uint64_t>(mib) << 20;
  gLimits.activeJobs = static_cast<int>(jobs);
  gLimits.jobsPerOwner = static_cast<int>(perOwner);
  gLimits.spoolBytes = static_cast<uint64_t>(spoolMib) << 20;
  gLimits.killDelay = std::chrono::seconds(delay);
  gLimits.clients = static_cast<int>(clients);

  if (!ours("ippAddRange", reinterpret_cast<void*>(&ippAddRange)) ||
      !ours("papplJobOpenFile", reinterpret_cast<void*>(&papplJobOpenFile)) ||
      !ours("papplClientRespondIPP", reinterpret_cast<void*>(&papplClientRespondIPP)) ||
      !ours("httpRead2", reinterpret_cast<void*>(&httpRead2))) {
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
