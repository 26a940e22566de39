// A printer's status, asked in the background: PAPPL calls the status
// callback while it answers a client, and a printer that does not answer
// would hold that reply for PAPPL's whole read timeout.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class StatusPoll {
 public:
  StatusPoll() = default;
  // Waits for the query under way, told to stop waiting for the printer:
  // PAPPL holds the whole system while a printer is deleted.
  ~StatusPoll();
  StatusPoll(const StatusPoll&) = delete;
  StatusPoll& operator=(const StatusPoll&) = delete;

  // Starts `query` in a thread of its own, unless one is under way or the
  // printer did not answer lately (for minutes when it never has). The
  // query returns whether the printer answered, nothing when it was not
  // asked to the end, and stops waiting for it once its argument is set
  // (read it through std::atomic_ref: libcups takes it as a plain cancel
  // flag).
  using Query = std::function<std::optional<bool>(int& stop)>;
  void ask(Query query);

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  int closing_ = 0;
  Clock::time_point quietUntil_;  // guarded by mutex_
  bool everAnswered_ = false;     // guarded by mutex_
};
