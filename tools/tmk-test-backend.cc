// A pretend label printer for the tests and benchmarks that run a private
// cupsd: a CUPS backend that keeps what the job sends in the file its URI
// names and answers the filter as a printer with a back channel would.
//   tmktest:/PATH[?status=HH|none][&rate=BYTES-PER-SECOND]
// - the job's bytes go to PATH, as they come;
// - a drain request on the side channel is answered "done": the bytes are
//   written before the request is read;
// - a job that opens with the status request "^cp\r" gets the status byte HH
//   (hexadecimal, default 00) on the back channel; with status=none it gets
//   nothing, like a one-way printer;
// - with a rate, the printer takes that many bytes per second;
// - PATH.notes gets "start", "term" and "end" lines with the monotonic clock
//   in seconds and the bytes had so far, so that a caller sees when the
//   scheduler's SIGTERM came and what arrived after it.
// Like CUPS's own backends it keeps reading the job after SIGTERM: the page
// that the filter finishes must reach the printer.
#include <cups/backend.h>
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kStatusRequest = "^cp\r";

std::atomic<long long> Received{0};
std::atomic<long long> TermBytes{-1};
timespec TermTime{};

void onTerm(int) {
  if (TermBytes.load() >= 0) return;
  clock_gettime(CLOCK_MONOTONIC, &TermTime);
  TermBytes.store(Received.load());
}

struct Uri {
  std::string path;
  int status = 0;  // -1: never answers
  long rate = 0;
};

bool parseUri(const char* text, Uri& uri) {
  std::string_view rest(text);
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  rest.remove_prefix(colon + 1);
  const size_t query = rest.find('?');
  uri.path = std::string(rest.substr(0, query));
  if (uri.path.empty() || uri.path[0] != '/') return false;
  if (query == std::string_view::npos) return true;
  rest.remove_prefix(query + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string item(rest.substr(0, amp));
    rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
    char* end = nullptr;
    if (item == "status=none") {
      uri.status = -1;
    } else if (item.starts_with("status=")) {
      uri.status = static_cast<int>(std::strtol(item.c_str() + 7, &end, 16));
      if (*end != '\0' || uri.status < 0 || uri.status > 0xFF) return false;
    } else if (item.starts_with("rate=")) {
      uri.rate = std::strtol(item.c_str() + 5, &end, 10);
      if (*end != '\0' || uri.rate < 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9; }

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return seconds(t);
}

void note(const std::string& notes, const char* what, double when, long long bytes) {
  FILE* file = std::fopen(notes.c_str(), "a");
  if (file == nullptr) return;
  std::fprintf(file, "%s %.6f %lld\n", what, when, bytes);
  std::fclose(file);
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

// A drain is done once the bytes read are written, which they are by now;
// other requests are not ours to answer.
bool answerSideChannel() {
  cups_sc_command_t command;
  cups_sc_status_t status;
  char data[2048];
  int length = sizeof data;
  if (cupsSideChannelRead(&command, &status, data, &length, 1.0) != 0) return false;
  const cups_sc_status_t answer =
      command == CUPS_SC_CMD_DRAIN_OUTPUT ? CUPS_SC_STATUS_OK : CUPS_SC_STATUS_NOT_IMPLEMENTED;
  std::fprintf(stderr, "DEBUG: tmktest: side-channel request %d answered %d\n", command, answer);
  cupsSideChannelWrite(command, answer, nullptr, 0, 1.0);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 1) {
    std::puts("direct tmktest \"Unknown\" \"Test label printer\"");
    return CUPS_BACKEND_OK;
  }
  const char* device = std::getenv("DEVICE_URI");
  Uri uri;
  if (argc < 6 || argc > 7 || device == nullptr || !parseUri(device, uri)) {
    std::fputs("ERROR: usage: DEVICE_URI=tmktest:/PATH[?status=HH|none][&rate=N] tmk-test-backend job user title "
               "copies options [file]\n",
               stderr);
    return CUPS_BACKEND_FAILED;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a filter gone from the back channel is no reason to die
  struct sigaction term {};
  term.sa_handler = onTerm;
  sigemptyset(&term.sa_mask);
  sigaction(SIGTERM, &term, nullptr);  // no SA_RESTART: poll returns and the note is written

  const std::string notes = uri.path + ".notes";
  if (FILE* fresh = std::fopen(notes.c_str(), "w")) std::fclose(fresh);
  const double start = now();
  note(notes, "start", start, 0);
  const int input = argc == 7 ? open(argv[6], O_RDONLY) : 0;
  const int out = open(uri.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (input < 0 || out < 0) {
    std::fprintf(stderr, "ERROR: tmktest: %s: %s\n", input < 0 ? argv[6] : uri.path.c_str(), std::strerror(errno));
    return CUPS_BACKEND_FAILED;
  }

  std::string head;  // the job's first bytes, until the status request can be told
  bool sideChannel = fcntl(CUPS_SC_FD, F_GETFD) != -1;
  bool termNoted = false;
  static char buffer[65536];
  const size_t chunk = uri.rate > 0 ? 1024 : sizeof buffer;
  for (;;) {
    if (!termNoted && TermBytes.load() >= 0) {
      note(notes, "term", seconds(TermTime), TermBytes.load());
      termNoted = true;
    }
    pollfd fds[2] = {{input, POLLIN, 0}, {CUPS_SC_FD, POLLIN, 0}};
    if (poll(fds, sideChannel ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (sideChannel && fds[1].revents != 0 && !answerSideChannel()) sideChannel = false;
    if (fds[0].revents == 0) continue;
    const ssize_t got = read(input, buffer, chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (!writeAll(out, buffer, static_cast<size_t>(got))) {
      std::fprintf(stderr, "ERROR: tmktest: %s: %s\n", uri.path.c_str(), std::strerror(errno));
      return CUPS_BACKEND_FAILED;
    }
    if (head.size() < kStatusRequest.size()) {
      const size_t before = head.size();
      head.append(buffer, std::min(static_cast<size_t>(got), kStatusRequest.size() - before));
      if (head == kStatusRequest && uri.status >= 0) {
        const char byte = static_cast<char>(uri.status);
        cupsBackChannelWrite(&byte, 1, 1.0);
        std::fprintf(stderr, "DEBUG: tmktest: status request answered with %02X\n", uri.status);
      }
    }
    Received.fetch_add(got);
    if (uri.rate > 0) {
      const double late = start + static_cast<double>(Received.load()) / static_cast<double>(uri.rate) - now();
      if (late > 0) usleep(static_cast<useconds_t>(late * 1e6));
    }
  }
  if (!termNoted && TermBytes.load() >= 0) note(notes, "term", seconds(TermTime), TermBytes.load());
  note(notes, "end", now(), Received.load());
  close(out);
  return CUPS_BACKEND_OK;
}
