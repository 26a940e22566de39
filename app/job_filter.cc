#include "job_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filter_reasons.h"
#include "printer_connection.h"
#include "server_settings.h"

JobFilter::JobFilter(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch)
    : job_(job), printer_(papplJobGetPrinter(job)), device_(device), watch_(watch) {}

bool JobFilter::start(const std::string& ppd, const std::string& options, const char* file) {
  const char* user = papplJobGetUsername(job_);
  const char* title = papplJobGetName(job_);
  FilterProcess::Call call{ppd, options, file, papplJobGetID(job_), user ? user : "guest", title ? title : "",
                           &watch_};
  if (!process_.start(call)) return false;
  started_ = true;
  watch_.watch(process_.pid(), false);
  // A printer that has stopped reading would hold the filter's output and
  // the job with it.
  watch_.onDeadline([this] {
    cut_ = cutPrinterConnection(printer_, device_);
    if (cut_ >= 0) log(PAPPL_LOGLEVEL_INFO, "The printer took nothing since the cancel: its connection is cut.");
  });
  return true;
}

bool JobFilter::finish() {
  if (!std::exchange(started_, false)) return false;
  const bool succeeded = process_.finish();
  watch_.onDeadline(nullptr);
  // After a cut this drops what PAPPL still holds of the job's bytes.
  papplDeviceFlush(device_);
  if (cut_ >= 0) renewPrinterConnection(printer_, cut_);
  keepJobStream(papplPrinterGetID(printer_), papplJobGetID(job_), sent_.take(), sent_.whole());
  return succeeded && !deviceFailed_;
}

bool JobFilter::deliver(std::span<const char> bytes) {
  if (papplDeviceWrite(device_, bytes.data(), bytes.size()) >= 0) {
    sent_.append(bytes);
    return true;
  }
  deviceFailed_ = true;
  log(PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
  cancel();
  return false;
}

void JobFilter::fail(const std::string& why) {
  papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  if (!saidWhy_.exchange(true)) papplJobSetMessage(job_, "%s", why.c_str());
  cancel();
}

void JobFilter::report(bool error, const std::string& text, const std::string& forClient) {
  log(error ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_DEBUG, text, forClient);
}

// `forClient`, when given, is the job's message instead of `text`.
void JobFilter::log(pappl_loglevel_t level, const std::string& text, const std::string& forClient) {
  // A canceled job's filter and printer may fail as it ends: that is the
  // cancel, not an error. (PAPPL counts an aborted job as canceled too.)
  const bool canceled = papplJobIsCanceled(job_) && papplJobGetState(job_) != IPP_JSTATE_ABORTED;
  if (canceled && level == PAPPL_LOGLEVEL_ERROR) level = PAPPL_LOGLEVEL_INFO;
  papplLogJob(job_, level, "%s", text.c_str());
  // The job tells why it failed; the filter's own words come first.
  if (level == PAPPL_LOGLEVEL_ERROR && !saidWhy_) {
    papplJobSetMessage(job_, "%s", (forClient.empty() ? text : forClient).c_str());
  }
}

void JobFilter::message(std::string_view line) {
  if (line.starts_with("INFO: ")) {
    papplJobSetMessage(job_, "%s", clientMessage(line.substr(6), papplJobGetFilename(job_)).c_str());
  } else if (line.starts_with("ERROR: ")) {
    saidWhy_ = true;
    papplJobSetMessage(job_, "%s", clientMessage(line.substr(7), papplJobGetFilename(job_)).c_str());
    // PAPPL's log ignores a precision and would go on into the lines that
    // follow: its text is a string of its own.
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", std::string(line.substr(7)).c_str());
  } else if (line.starts_with("STATE: +")) {
    // Only reasons the filter sets: the cleared ones it names with the
    // status check off say nothing about the printer, and the app's own
    // status poll clears them.
    papplPrinterSetReasons(printer_, reasonBit(line.substr(8)), PAPPL_PREASON_NONE);
  } else if (line.starts_with("PAGE: ")) {
    // "PAGE: page copies": PAPPL counted the page, the printer makes the
    // copies.
    const std::string text(line.substr(6));
    int page = 0, copies = 0;
    if (std::sscanf(text.c_str(), "%d %d", &page, &copies) == 2 && copies > 1) {
      papplJobSetImpressionsCompleted(job_, copies - 1);
    }
  } else {
    papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%s", std::string(line).c_str());
  }
}

bool printFilterInput(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch, const std::string& ppd,
                      const std::string& options, const std::function<bool(int input)>& feed) {
  JobFilter filter(job, device, watch);
  if (!filter.start(ppd, options)) return false;
  const bool fed = feed(filter.input());
  if (!fed || papplJobIsCanceled(job)) filter.cancel();
  return filter.finish() && fed;
}

std::unique_ptr<CancelWatch> watchJob(pappl_job_t* job) {
  auto watch = std::make_unique<CancelWatch>([job] { return papplJobIsCanceled(job); }, gLimits.killDelay);
  if (watch->start()) return watch;
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job's cancel watch: %s", std::strerror(errno));
  return nullptr;
}

std::string clientMessage(std::string_view line, const char* document) {
  std::string text(line);
  if (document != nullptr && *document != '\0') {
    const std::string_view path(document);
    for (size_t at; (at = text.find(path)) != std::string::npos;) text.replace(at, path.size(), "the document");
  }
  // Any other absolute path: its last part.
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '/' || (i > 0 && std::strchr(" \t\"'(<[=", text[i - 1]) == nullptr)) {
      out += text[i++];
      continue;
    }
    const size_t end = std::min(text.find_first_of(" \t\"')>],;", i), text.size());
    const std::string_view path(text.data() + i, end - i);
    out += path.substr(path.find_last_of('/') + 1);
    i = end;
  }
  return out;
}
