// The printer's status, asked in the background: PAPPL calls the status
// callback while it answers a client, and a printer that does not answer
// would hold that reply for PAPPL's whole read timeout.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "app.h"

namespace {

using Clock = std::chrono::steady_clock;

// A printer that did not answer (many are one-way) is asked again only
// after this long: asked at every status callback it would cost a filter
// every 2 s, and a query through PAPPL's device (USB) holds the device for
// PAPPL's whole read timeout, which a job then waits out.
constexpr auto kSilentPause = std::chrono::minutes(5);

struct StatusPoll {
  std::mutex mutex;
  std::thread query;
  std::atomic<bool> running{false};
  // Set when the printer is deleted: PAPPL holds the whole system while it
  // waits here, so the query stops waiting for the printer.
  std::atomic<bool> closing{false};
  Clock::time_point quietUntil;  // guarded by mutex

  ~StatusPoll() {
    closing = true;
    if (query.joinable()) query.join();
  }
};

StatusPoll* statusPoll(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<StatusPoll*>(data.extension);
}

}  // namespace

void* newStatusPoll() { return new StatusPoll; }

void deleteStatusPoll(pappl_printer_t* /*printer*/, pappl_pr_driver_data_t* data) {
  std::unique_ptr<StatusPoll> poll(static_cast<StatusPoll*>(data->extension));
  data->extension = nullptr;
}

bool statusCallback(pappl_printer_t* printer) {
  StatusPoll* poll = statusPoll(printer);
  if (poll == nullptr) return true;
  std::lock_guard lock(poll->mutex);
  if (poll->running) return true;
  if (Clock::now() < poll->quietUntil) return true;
  if (poll->query.joinable()) poll->query.join();  // the last one, already done
  poll->running = true;
  try {
    poll->query = std::thread([printer, poll] {
      const bool answered = queryPrinterStatus(printer, poll->closing);
      std::lock_guard done(poll->mutex);
      if (!answered) poll->quietUntil = Clock::now() + kSilentPause;
      poll->running = false;
    });
  } catch (const std::system_error&) {
    // No exception may leave a PAPPL callback: without a thread to spare,
    // the printer is asked at a later callback.
    poll->running = false;
  }
  return true;
}
