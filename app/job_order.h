// The order in which a printer's jobs print: first in, first out.
//
// PAPPL 1.3.1 keeps a printer's active jobs sorted by descending job id and
// starts the first pending one, so that jobs waiting behind a long one
// printed newest first (1 5 4 3 2), up to PAPPL's main branch. A printer
// supports one job-priority (job-priority-supported 1), so arrival alone
// decides.
#pragma once

#include <pappl/pappl.h>

// Whether this build's ordering is the one PAPPL's printers get; the server
// does not start without it.
bool jobsInArrivalOrder();

// While one lives in a thread, PAPPL's looks for a job to start that this
// thread makes are put off, and made once when it ends: a client's thread
// answers a job it has queued before the job's thread may change it.
class JobStartsDeferred {
 public:
  JobStartsDeferred();
  ~JobStartsDeferred();
  JobStartsDeferred(const JobStartsDeferred&) = delete;
  JobStartsDeferred& operator=(const JobStartsDeferred&) = delete;
};

// Starts, in a thread of its own once the system runs, the jobs that were
// waiting when the server started: PAPPL looks for a job to start only when
// one is added or ends. False when no thread could be made.
bool startWaitingJobs(pappl_system_t* system);
