#include "job_order.h"

#include <dlfcn.h>

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "each_printer.h"
#include "interpose.h"

namespace {

// Job ids grow as jobs arrive.
int byArrival(void* first, void* second, void* /*data*/) {
  const int a = papplJobGetID(static_cast<pappl_job_t*>(first));
  const int b = papplJobGetID(static_cast<pappl_job_t*>(second));
  return (a > b) - (a < b);
}

// papplPrinterCreate makes a printer's arrays of jobs one after the other
// in the thread that makes the printer: all its jobs (which deletes them,
// with _papplJobDelete), then its active jobs, then its completed ones.
thread_local bool tNextAreActiveJobs = false;

thread_local bool tDeferring = false;
thread_local std::vector<pappl_printer_t*> tDeferred;

using CheckJobs = void (*)(pappl_printer_t*);
const auto checkJobs = theirs<CheckJobs>("_papplPrinterCheckJobs");

}  // namespace

// libcups' array, which PAPPL's are: the active jobs' sorted by arrival.
extern "C" cups_array_t* cupsArrayNew3(cups_array_func_t compare, void* data, cups_ahash_func_t hash, int hashSize,
                                       cups_acopy_func_t copy, cups_afree_func_t free) {
  static const auto create = theirs<decltype(&cupsArrayNew3)>("cupsArrayNew3");
  static void* const jobDelete = dlsym(RTLD_DEFAULT, "_papplJobDelete");
  if (std::exchange(tNextAreActiveJobs, false) && compare != nullptr && free == nullptr) {
    compare = byArrival;
  } else if (free != nullptr && jobDelete != nullptr && reinterpret_cast<void*>(free) == jobDelete) {
    tNextAreActiveJobs = true;
  }
  return create(compare, data, hash, hashSize, copy, free);
}

// PAPPL's look for a job to start, called as a job is queued or ends, with
// no lock held.
extern "C" void _papplPrinterCheckJobs(pappl_printer_t* printer) {
  if (tDeferring) {
    tDeferred.push_back(printer);
    return;
  }
  if (checkJobs != nullptr) checkJobs(printer);
}

JobStartsDeferred::JobStartsDeferred() { tDeferring = true; }

JobStartsDeferred::~JobStartsDeferred() {
  tDeferring = false;
  for (pappl_printer_t* printer : std::exchange(tDeferred, {})) _papplPrinterCheckJobs(printer);
}

bool jobsInArrivalOrder() {
  return ours("cupsArrayNew3", reinterpret_cast<void*>(&cupsArrayNew3)) &&
         ours("_papplPrinterCheckJobs", reinterpret_cast<void*>(&_papplPrinterCheckJobs)) &&
         dlsym(RTLD_DEFAULT, "_papplJobDelete") != nullptr;
}

bool startWaitingJobs(pappl_system_t* system) {
  try {
    std::thread([system] {
      while (!papplSystemIsRunning(system)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      forEachPrinter(system, _papplPrinterCheckJobs);
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}
