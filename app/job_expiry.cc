#include "job_expiry.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "each_printer.h"

namespace {

// What PAPPL advertises as multiple-operation-time-out.
constexpr time_t kDocumentTimeout = 60;
constexpr auto kCheckInterval = std::chrono::seconds(2);

std::mutex gMutex;
std::set<std::pair<int, int>> gArriving;  // printer and job ids, guarded by gMutex

struct Expired {
  std::vector<int> jobs;
  time_t now;
};

bool arriving(int printer, int job) {
  std::lock_guard lock(gMutex);
  return gArriving.count({printer, job}) != 0;
}

// With the printer's lock held by the iteration: only looked at here.
void lookAtJob(pappl_job_t* job, void* data) {
  auto& expired = *static_cast<Expired*>(data);
  const ipp_jstate_t state = papplJobGetState(job);
  if ((state == IPP_JSTATE_PENDING || state == IPP_JSTATE_HELD) && papplJobGetFilename(job) == nullptr &&
      papplJobGetTimeCreated(job) + kDocumentTimeout <= expired.now) {
    expired.jobs.push_back(papplJobGetID(job));
  }
}

void endExpiredJobs(pappl_printer_t* printer) {
  Expired expired{{}, time(nullptr)};
  papplPrinterIterateActiveJobs(printer, lookAtJob, &expired, 1, 0);
  const int printerId = papplPrinterGetID(printer);
  for (const int id : expired.jobs) {
    pappl_job_t* job = papplPrinterFindJob(printer, id);
    // Looked at again: a document may have begun to arrive meanwhile.
    if (job == nullptr || arriving(printerId, id) || papplJobGetFilename(job) != nullptr ||
        papplJobGetState(job) > IPP_JSTATE_HELD) {
      continue;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "No document arrived within %d seconds: ending the job.",
                static_cast<int>(kDocumentTimeout));
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "No document arrived within %d seconds.", static_cast<int>(kDocumentTimeout));
    papplJobCancel(job);
  }
}

}  // namespace

ArrivingDocument::ArrivingDocument(pappl_job_t* job) {
  if (job == nullptr) return;
  printer_ = papplPrinterGetID(papplJobGetPrinter(job));
  job_ = papplJobGetID(job);
  std::lock_guard lock(gMutex);
  gArriving.insert({printer_, job_});
}

ArrivingDocument::~ArrivingDocument() {
  if (job_ == 0) return;
  std::lock_guard lock(gMutex);
  gArriving.erase({printer_, job_});
}

bool startJobExpiry(pappl_system_t* system) {
  try {
    // Runs as long as the app: PAPPL's objects go only when it ends.
    std::thread([system] {
      for (;;) {
        std::this_thread::sleep_for(kCheckInterval);
        if (!papplSystemIsRunning(system)) continue;
        forEachPrinter(system, endExpiredJobs);
      }
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}
