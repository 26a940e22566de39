// Runs one command the way the benchmark measures it, as CUPS runs a filter:
// standard input from a file, standard output and standard error into pipes
// that are drained. Prints one line: wall seconds, peak RSS in KiB, bytes on
// standard output, bytes on standard error, exit status.
//   bench-spawn INPUT-FILE PROGRAM [ARG...]
// It is a small process of its own so that the peak RSS it reports is the
// command's, not that of a large parent it was forked from.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fputs("usage: bench-spawn INPUT-FILE PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  const int input = open(argv[1], O_RDONLY);
  int out[2], err[2];
  if (input < 0 || pipe(out) != 0 || pipe(err) != 0) {
    std::perror("bench-spawn");
    return 2;
  }
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("bench-spawn: fork");
    return 2;
  }
  if (pid == 0) {
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(input);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  close(input);
  close(out[1]);
  close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  long long sizes[2] = {0, 0};
  int open_fds = 2;
  static char buffer[1 << 20];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      // Without draining, the command would block on a full pipe for ever.
      std::perror("bench-spawn: poll");
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return 2;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) {
        sizes[i] += got;
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) {
    std::perror("bench-spawn: wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
  std::printf("%.9f %ld %lld %lld %d\n", seconds, usage.ru_maxrss, sizes[0], sizes[1],
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
