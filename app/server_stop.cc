#include "server_stop.h"

#include <signal.h>
#include <unistd.h>

#include <system_error>
#include <thread>
#include <utility>

#include "spawn.h"
#include "state_save.h"

namespace {

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

void blockStopSignals() {
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool startStopWatch(pappl_system_t* system, std::vector<std::string> sockets) {
  try {
    std::thread([system, sockets = std::move(sockets)] {
      const sigset_t signals = stopSignals();
      int signal = 0;
      while (sigwait(&signals, &signal) != 0) {
      }
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping on %s: saving the state, the job in progress kept for the next start.",
               signal == SIGTERM ? "SIGTERM" : "SIGINT");
      const bool saved = saveStateLast(system);
      // What the jobs started goes with them, Ghostscript too, which no
      // parent's death would end.
      endChildren();
      for (const std::string& path : sockets) unlink(path.c_str());
      // Not exit(): PAPPL's threads go on until the process ends, and the
      // program's objects must outlive them.
      _exit(saved ? 0 : 1);
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}
