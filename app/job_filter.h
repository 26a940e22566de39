// The filter run for a job: its output to the printer's device, its
// messages into the job and the printer, its end once the job is canceled.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "filter_process.h"
#include "preview_store.h"

class JobFilter final : public FilterUse {
 public:
  // `watch` ends the filter once the job is canceled.
  JobFilter(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch);
  ~JobFilter() override { finish(); }

  // Starts the filter on `file`, or on its standard input; false, with the
  // reason in the job, when it cannot start.
  bool start(const std::string& ppd, const std::string& options, const char* file = nullptr);
  int input() const { return process_.input(); }
  void cancel() { process_.cancel(); }
  // Stops the filter as the job fails for `why`, which the job tells
  // whatever the filter says as it ends.
  void fail(const std::string& why);
  // Ends the input and waits; true when the filter succeeded and every byte
  // reached the device.
  bool finish();

 private:
  bool deliver(std::span<const char> bytes) override;
  void message(std::string_view line) override;
  void drain() override { papplDeviceFlush(device_); }
  void report(bool error, const std::string& text, const std::string& forClient) override;
  void log(pappl_loglevel_t level, const std::string& text, const std::string& forClient = "");

  pappl_job_t* job_;
  pappl_printer_t* printer_;
  pappl_device_t* device_;
  CancelWatch& watch_;
  bool started_ = false;
  int cut_ = -1;                // the device's descriptor, once cut by the watch
  bool deviceFailed_ = false;   // written by the output thread, read after it ends
  std::atomic<bool> saidWhy_{false};  // the job's message tells why it failed
  StreamCopy sent_;  // for the job's preview, read once the job ends
  FilterProcess process_{*this};
};

// A job whose filter input the app makes itself: the filter runs with `ppd`
// and `options`, and `feed` writes to its standard input.
bool printFilterInput(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch, const std::string& ppd,
                      const std::string& options, const std::function<bool(int input)>& feed);

// The watch that ends a job's processes once it is canceled; null, with the
// reason logged, when it cannot be started.
std::unique_ptr<CancelWatch> watchJob(pappl_job_t* job);

// A job's message from a child's line: the reason, without the server's
// paths (`document`, the job's file, is "the document"); the log keeps the
// line whole.
std::string clientMessage(std::string_view line, const char* document);
