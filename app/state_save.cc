// PAPPL 1.3.1 saves the whole state after every change, a job created or
// ended included, in the thread that accepts the clients' connections: each
// save rewrites every active job's attribute file and removes every ended
// job's (up to 100 a printer), and no connection is taken meanwhile. With
// many printers busy that thread did little else, and a client waited up to
// half a second for its connection to be taken. Here a thread of its own
// saves, at most once a second, so a burst of jobs costs a save or two; a
// change is on disk within a second, and all of them when the server ends.
#include "state_save.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "device_open.h"
#include "interpose.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSaveInterval = std::chrono::seconds(1);
constexpr auto kOpeningCheck = std::chrono::milliseconds(50);

class StateSaver {
 public:
  // A change to save, from PAPPL's main loop. Once that loop has ended, the
  // state is saved before this returns.
  bool request(pappl_system_t* system, const char* file) {
    const bool running = papplSystemIsRunning(system);
    std::unique_lock lock(mutex_);
    system_ = system;
    file_ = file;
    pending_ = true;
    if (!stopping_ && running) {
      if (thread_.joinable()) {
        wake_.notify_one();
        return true;
      }
      try {
        thread_ = std::thread(&StateSaver::run, this);
        return true;
      } catch (const std::system_error&) {
        // No exception may leave a PAPPL callback: saved here instead.
      }
    }
    lock.unlock();
    return finish();
  }

  // Stops the thread and saves what it had not saved yet, in this thread;
  // called once PAPPL's main loop has ended, before the system goes.
  bool finish() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
    if (thread_.joinable()) {
      lock.unlock();
      thread_.join();
      lock.lock();
    }
    if (!pending_) return true;
    pending_ = false;
    return papplSystemSaveState(system_, file_);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    Clock::time_point next{};
    for (;;) {
      wake_.wait(lock, [this] { return pending_ || stopping_; });
      // What comes until the next save goes with it; at the end, finish()
      // saves what is left.
      wake_.wait_until(lock, next, [this] { return stopping_; });
      // Not while a printer is locked for its device to open: the save would
      // wait for it holding the whole system.
      while (!stopping_ && devicesOpening()) wake_.wait_for(lock, kOpeningCheck);
      if (stopping_) return;
      pending_ = false;
      lock.unlock();
      papplSystemSaveState(system_, file_);
      lock.lock();
      next = Clock::now() + kSaveInterval;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_:
  pappl_system_t* system_ = nullptr;
  const char* file_ = nullptr;
  bool pending_ = false, stopping_ = false;
  std::thread thread_;
};

// Never destroyed: a thread still running at exit must not end the program.
StateSaver& saver() {
  static auto* instance = new StateSaver;
  return *instance;
}

bool saveLater(pappl_system_t* system, void* file) { return saver().request(system, static_cast<char*>(file)); }

bool saveNow(pappl_system_t* system, void* file) { return papplSystemSaveState(system, static_cast<char*>(file)); }

}  // namespace

// PAPPL's main loop, which papplMainloop runs, then deletes the system: the
// last save comes between the two.
extern "C" void papplSystemRun(pappl_system_t* system) {
  static const auto run = theirs<decltype(&papplSystemRun)>("papplSystemRun");
  if (run != nullptr) run(system);
  saver().finish();
}

pappl_save_cb_t stateSaveCallback() {
  return ours("papplSystemRun", reinterpret_cast<void*>(&papplSystemRun)) ? saveLater : saveNow;
}
