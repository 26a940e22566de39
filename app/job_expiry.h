// Jobs that wait for a document that never comes: a client's Create-Job
// without its Send-Document. PAPPL 1.3.1 says such a job ends after
// multiple-operation-time-out (60 s) but keeps it for good, restarts
// included, and a printer's job limit counts it: 100 of them locked a
// printer for everyone.
#pragma once

#include <pappl/pappl.h>

// A document arriving for `job` (none for a null one) while this lives, in
// the thread that copies it: its job waits for it however long it takes.
class ArrivingDocument {
 public:
  explicit ArrivingDocument(pappl_job_t* job);
  ~ArrivingDocument();
  ArrivingDocument(const ArrivingDocument&) = delete;
  ArrivingDocument& operator=(const ArrivingDocument&) = delete;

 private:
  int printer_ = 0, job_ = 0;
};

// Starts ending, every 2 s, the jobs of `system` that have had no document
// for 60 s since they were made; false when no thread could be made.
bool startJobExpiry(pappl_system_t* system);
