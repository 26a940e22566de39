#include "status_poll.h"

#include <system_error>

namespace {

// A printer that has never answered (many are one-way) is asked again only
// after this long: asked at every status callback it would cost a filter
// every 2 s, and a query through PAPPL's device (USB) holds the device for
// PAPPL's whole read timeout, which a job then waits out. One that has
// answered before and missed a request (it was busy, or switched off for a
// moment) is asked again soon: its paper may have run out meanwhile.
constexpr auto kSilentPause = std::chrono::minutes(5);
constexpr auto kMissedPause = std::chrono::seconds(5);

}  // namespace

StatusPoll::~StatusPoll() {
  std::atomic_ref<int>(closing_).store(1);
  if (thread_.joinable()) thread_.join();
}

void StatusPoll::ask(Query query) {
  std::lock_guard lock(mutex_);
  if (running_ || Clock::now() < quietUntil_) return;
  if (thread_.joinable()) thread_.join();  // the last one, already done
  running_ = true;
  try {
    thread_ = std::thread([this, query = std::move(query)] {
      const std::optional<bool> answered = query(closing_);
      std::lock_guard done(mutex_);
      everAnswered_ = everAnswered_ || answered.value_or(false);
      if (answered == false) quietUntil_ = Clock::now() + (everAnswered_ ? kMissedPause : kSilentPause);
      running_ = false;
    });
  } catch (const std::system_error&) {
    // No exception may leave a PAPPL callback: without a thread to spare,
    // the printer is asked at a later callback.
    running_ = false;
  }
}
