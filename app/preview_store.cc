#include "preview_store.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>

namespace {

// The streams waiting to be read may hold at most this much together; the
// oldest waiting is dropped past it, as a job's printing comes first.
constexpr size_t kMostWaitingBytes = size_t{64} << 20;

struct Kept {
  int printerId = 0;
  int jobId = 0;
  std::string stream;  // until it is read
  bool whole = true;
  bool reading = false;
  std::shared_ptr<const JobPreview> preview;
};

class Store {
 public:
  Store() : unread_(unreadPreview()), reader_([this](std::stop_token stop) { read(stop); }) {}
  ~Store() {
    reader_.request_stop();
    wake_.notify_all();
  }

  void keep(int printerId, int jobId, std::string&& stream, bool whole) {
    {
      std::lock_guard lock(mutex_);
      std::erase_if(jobs_, [&](const Kept& kept) { return kept.printerId == printerId && kept.jobId == jobId; });
      while (jobs_.size() >= kMostPreviews) drop(jobs_.begin());
      waiting_ += stream.size();
      jobs_.push_back(Kept{printerId, jobId, std::move(stream), whole, false, nullptr});
      for (auto at = jobs_.begin(); waiting_ > kMostWaitingBytes && at != jobs_.end();) {
        at = at->preview == nullptr && !at->reading ? drop(at) : at + 1;
      }
    }
    wake_.notify_one();
  }

  std::shared_ptr<const JobPreview> find(int printerId, int jobId, bool* pending) {
    std::lock_guard lock(mutex_);
    for (const Kept& kept : jobs_) {
      if (kept.printerId != printerId || kept.jobId != jobId) continue;
      if (pending != nullptr) *pending = kept.preview == nullptr;
      return kept.preview;
    }
    if (pending != nullptr) *pending = false;
    return nullptr;
  }

 private:
  std::deque<Kept>::iterator drop(std::deque<Kept>::iterator at) {
    waiting_ -= at->stream.size();
    return jobs_.erase(at);
  }

  void read(std::stop_token stop) {
    // Behind the jobs' filters and the server's clients.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      auto next = std::find_if(jobs_.begin(), jobs_.end(),
                               [](const Kept& kept) { return kept.preview == nullptr && !kept.reading; });
      if (next == jobs_.end()) {
        wake_.wait(lock, stop, [&] {
          return std::any_of(jobs_.begin(), jobs_.end(),
                             [](const Kept& kept) { return kept.preview == nullptr && !kept.reading; });
        });
        continue;
      }
      const int printerId = next->printerId, jobId = next->jobId;
      const bool whole = next->whole;
      std::string stream = std::move(next->stream);
      waiting_ -= stream.size();
      next->stream = {};
      next->reading = true;
      lock.unlock();
      std::shared_ptr<const JobPreview> preview;
      try {
        preview = std::make_shared<const JobPreview>(previewLabels(stream, whole));
      } catch (const std::bad_alloc&) {
        preview = unread_;
      }
      stream = {};
      lock.lock();
      // The job may have been dropped or printed again meanwhile.
      for (Kept& kept : jobs_) {
        if (kept.printerId == printerId && kept.jobId == jobId && kept.reading) {
          kept.preview = std::move(preview);
          kept.reading = false;
          break;
        }
      }
    }
  }

  static std::shared_ptr<const JobPreview> unreadPreview() {
    auto unread = std::make_shared<JobPreview>();
    unread->whole = false;
    unread->problem = "the labels do not fit in memory";
    return unread;
  }

  const std::shared_ptr<const JobPreview> unread_;  // made beforehand: it is what is left without memory
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<Kept> jobs_;
  size_t waiting_ = 0;
  std::jthread reader_;  // last: it starts once the rest is made
};

Store& store() {
  static Store kept;
  return kept;
}

}  // namespace

void keepJobStream(int printerId, int jobId, std::string&& stream, bool whole) noexcept {
  // A preview is not worth a job: without memory, there is none.
  try {
    store().keep(printerId, jobId, std::move(stream), whole);
  } catch (const std::exception&) {
  }
}

std::shared_ptr<const JobPreview> findJobPreview(int printerId, int jobId, bool* pending) {
  return store().find(printerId, jobId, pending);
}
