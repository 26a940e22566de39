// PAPPL 1.3.1 saves the whole state after every change, a job created or
// ended included, in the thread that accepts the clients' connections: each
// save rewrites every active job's attribute file and removes every ended
// job's (up to 100 a printer), and no connection is taken meanwhile. With
// many printers busy that thread did little else, and a client waited up to
// half a second for its connection to be taken. Here a thread of its own
// saves, at most once a second, so a burst of changes costs a save or two,
// and at once when a client waits for it (saveStateNow).
//
// PAPPL also writes the state file and the jobs' attribute files over the
// old ones, and syncs none of them: a crash during a save lost every
// printer, and one after it the jobs of the last second. A save of the
// app's writes beside and renames over, each file synced first.
#include "state_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "device_open.h"
#include "interpose.h"
#include "server_settings.h"
#include "spawn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSaveInterval = std::chrono::seconds(1);
constexpr auto kOpeningCheck = std::chrono::milliseconds(1);
// A save waits for the printers' devices to open (each gets 2 s a try) no
// longer than this.
constexpr auto kOpeningWait = std::chrono::seconds(5);

// The job attribute files written by the save under way in this thread:
// each one's job (printer and job id), name and the name of the file beside
// it.
struct Written {
  std::pair<int, int> job;
  std::string name, beside;
};
thread_local bool tSaving = false;
thread_local std::vector<Written> tWritten;

// The jobs whose attribute files may be in the spool: PAPPL tries to
// remove every ended job's at every save (two system calls each, for up to
// 100 jobs a printer, most of them long gone).
std::mutex gFilesMutex;
std::set<std::pair<int, int>> gFiles;  // guarded by gFilesMutex

std::pair<int, int> jobKey(pappl_job_t* job) { return {papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)}; }

bool syncPath(const std::string& path, int flags) {
  const Fd fd(open(path.c_str(), flags | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string("\\0missing");
}

// Puts the job attribute files the save wrote in place: synced and renamed
// where they differ from the last, dropped where they do not.
bool commitJobAttributes() {
  bool ok = true;
  for (const auto& [job, name, beside] : std::exchange(tWritten, {})) {
    if (contents(name) == contents(beside)) {
      unlink(beside.c_str());
    } else if (!syncPath(beside, O_RDONLY) || std::rename(beside.c_str(), name.c_str()) != 0) {
      unlink(beside.c_str());
      ok = false;
      continue;
    }
    std::lock_guard lock(gFilesMutex);
    gFiles.insert(job);
  }
  return ok;
}

// One save, whole: the state beside the file, then over it; the spool's
// and the state's folders synced, so that the new names are on disk too.
bool saveFile(pappl_system_t* system, const std::string& file) {
  const std::string beside = file + ".new";
  tSaving = true;
  bool ok = papplSystemSaveState(system, beside.c_str());
  tSaving = false;
  ok = commitJobAttributes() && ok;
  if (!gPaths.spoolDirectory.empty()) ok = syncPath(gPaths.spoolDirectory, O_RDONLY | O_DIRECTORY) && ok;
  ok = ok && syncPath(beside, O_RDONLY) && std::rename(beside.c_str(), file.c_str()) == 0 &&
       syncPath(folderOf(file), O_RDONLY | O_DIRECTORY);
  if (!ok) {
    unlink(beside.c_str());
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s'.", file.c_str());
  }
  return ok;
}

class StateSaver {
 public:
  void use(pappl_system_t* system, const char* file) {
    std::lock_guard lock(mutex_);
    system_ = system;
    file_ = file;
  }

  // A change to save, from PAPPL's main loop. Once that loop has ended, the
  // state is saved before this returns.
  bool request(pappl_system_t* system, const char* file) {
    const bool running = papplSystemIsRunning(system);
    std::unique_lock lock(mutex_);
    system_ = system;
    file_ = file;
    pending_ = true;
    if (!stopping_ && running && startThread()) {
      wake_.notify_all();
      return true;
    }
    lock.unlock();
    return finish();
  }

  // A save that begins after this call, on disk. Once the server ends, the
  // caller waits for the process's end: its client is never told.
  bool saveAndWait(pappl_system_t* system) {
    std::unique_lock lock(mutex_);
    if (system_ != system || (!stopping_ && !startThread())) return false;
    const uint64_t wanted = ++asked_;
    wake_.notify_all();
    done_.wait(lock, [&] { return saved_ >= wanted; });
    return savedWell_;
  }

  // Stops the thread and saves what it had not saved yet, in this thread;
  // called once PAPPL's main loop has ended, or when the server ends.
  bool finish() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
      lock.unlock();
      thread_.join();
      lock.lock();
    }
    if (system_ == nullptr) return true;
    pending_ = false;
    // What was asked for until now is in this save.
    const uint64_t covered = asked_;
    savedWell_ = saveFile(system_, file_);
    saved_ = covered;
    done_.notify_all();
    return savedWell_;
  }

 private:
  // With mutex_ held.
  bool startThread() {
    if (thread_.joinable()) return true;
    try {
      thread_ = std::thread(&StateSaver::run, this);
      return true;
    } catch (const std::system_error&) {
      // No exception may leave a PAPPL callback.
      return false;
    }
  }

  void run() {
    std::unique_lock lock(mutex_);
    Clock::time_point next{};
    for (;;) {
      wake_.wait(lock, [this] { return pending_ || asked_ > started_ || stopping_; });
      // What comes until the next save goes with it, unless a client waits.
      wake_.wait_until(lock, next, [this] { return stopping_ || asked_ > started_; });
      // Not while a printer is locked for its device to open: the save would
      // wait for it holding the whole system.
      const auto openingUntil = Clock::now() + kOpeningWait;
      while (!stopping_ && devicesOpening() && Clock::now() < openingUntil) wake_.wait_for(lock, kOpeningCheck);
      if (stopping_) return;
      const uint64_t starting = asked_;
      started_ = starting;
      pending_ = false;
      lock.unlock();
      const bool ok = saveFile(system_, file_);
      lock.lock();
      saved_ = starting;
      savedWell_ = ok;
      done_.notify_all();
      next = Clock::now() + kSaveInterval;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  // Guarded by mutex_:
  pappl_system_t* system_ = nullptr;
  std::string file_;
  bool pending_ = false, stopping_ = false;
  uint64_t asked_ = 0, started_ = 0, saved_ = 0;  // saves asked for, begun and done
  bool savedWell_ = true;
  std::thread thread_;
};

// Never destroyed: a thread still running at exit must not end the program.
StateSaver& saver() {
  static auto* instance = new StateSaver;
  return *instance;
}

bool saveLater(pappl_system_t* system, void* file) { return saver().request(system, static_cast<char*>(file)); }

bool saveNow(pappl_system_t* system, void* file) { return saveFile(system, static_cast<char*>(file)); }

}  // namespace

// PAPPL's main loop, which papplMainloop runs, then deletes the system: the
// last save comes between the two.
extern "C" void papplSystemRun(pappl_system_t* system) {
  static const auto run = theirs<decltype(&papplSystemRun)>("papplSystemRun");
  if (run != nullptr) run(system);
  saver().finish();
}

pappl_save_cb_t stateSaveCallback(pappl_system_t* system, const char* file) {
  saver().use(system, file);
  return ours("papplSystemRun", reinterpret_cast<void*>(&papplSystemRun)) ? saveLater : saveNow;
}

bool saveStateNow(pappl_system_t* system) { return saver().saveAndWait(system); }

bool saveStateLast(pappl_system_t* /*system*/) { return saver().finish(); }

std::optional<int> openJobAttributesForSave(pappl_job_t* job, char* fname, size_t fnamesize, const char* directory) {
  static const auto open = theirs<decltype(&papplJobOpenFile)>("papplJobOpenFile");
  if (!tSaving) return std::nullopt;
  // An unknown mode makes PAPPL name the file and open nothing.
  open(job, fname, fnamesize, directory, "ipp", "name");
  if (*fname == '\0') return -1;
  std::string beside = std::string(fname) + ".new";
  const int fd = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) tWritten.push_back({jobKey(job), fname, std::move(beside)});
  return fd;
}

std::optional<int> removeJobAttributesForSave(pappl_job_t* job, char* fname, size_t fnamesize, const char* directory) {
  static const auto open = theirs<decltype(&papplJobOpenFile)>("papplJobOpenFile");
  if (!tSaving) return std::nullopt;
  {
    std::lock_guard lock(gFilesMutex);
    if (gFiles.erase(jobKey(job)) == 0) {
      *fname = '\0';
      return -1;
    }
  }
  return open(job, fname, fnamesize, directory, "ipp", "x");
}

void rememberJobAttributeFiles(const std::string& folder) {
  DIR* spool = opendir(folder.c_str());
  if (spool == nullptr) return;
  std::lock_guard lock(gFilesMutex);
  while (const dirent* entry = readdir(spool)) {
    // "pPPPPPjJJJJJJJJJ-name.ipp", as PAPPL names them.
    int printer = 0, job = 0;
    const std::string_view name = entry->d_name;
    if (name.ends_with(".ipp") && std::sscanf(entry->d_name, "p%dj%d-", &printer, &job) == 2) {
      gFiles.insert({printer, job});
    }
  }
  closedir(spool);
}
