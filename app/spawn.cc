#include "spawn.h"

#include <signal.h>
#include <spawn.h>

#include <cerrno>

bool writeAll(int fd, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return true;
}

int spawnProgram(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
                 std::span<const int> fds, pid_t* pid, pid_t group) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (size_t target = 0; target < fds.size(); ++target) {
    posix_spawn_file_actions_adddup2(&actions, fds[target], static_cast<int>(target));
  }
  // Nothing else: PAPPL opens some descriptors without close-on-exec (the
  // SNMP socket of a socket:// device), which a child would hold.
  posix_spawn_file_actions_addclosefrom_np(&actions, static_cast<int>(fds.size()));
  // The child starts with default signal handling and nothing blocked,
  // whatever PAPPL's threads have set: SIGTERM must cancel it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (group >= 0) {
    posix_spawnattr_setpgroup(&attributes, group);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const int status = posix_spawn(pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return status;
}
