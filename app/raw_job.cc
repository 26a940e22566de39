// Label command files: the printer's own format, which the filter passes
// through with the job's setup around it.
#include "job_filter.h"
#include "job_options.h"
#include "jobs.h"
#include "printer_data.h"

bool printRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const DriverInfo* driver = jobDriver(job);
  const std::unique_ptr<CancelWatch> watch = driver != nullptr ? watchJob(job) : nullptr;
  if (watch == nullptr) return false;
  JobFilter filter(job, device, *watch);
  return filter.start(ppdPath(*driver), filterOptions(*driver, *options, job), papplJobGetFilename(job)) &&
         filter.finish();
}
