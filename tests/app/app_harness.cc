#include "app_harness.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// libjpeg's header needs FILE and size_t declared first.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "support/filter_process.h"

namespace {

using Clock = std::chrono::steady_clock;

int loopbackListener(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on a loopback port");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool accepting(int port) {
  const int fd = loopbackConnection(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Whether a server answers on the domain socket `path`.
bool answersOn(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

}  // namespace

int loopbackConnection(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

PretendPrinter::PretendPrinter(uint8_t status) : status_(status) {
  listener_ = loopbackListener(&port_);
  // A receive buffer of a printer's size, not one the kernel grows to
  // megabytes: a printer that stops reading soon stops the job.
  const int buffer = 64 * 1024;
  setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  thread_ = std::thread(&PretendPrinter::serve, this);
}

PretendPrinter::~PretendPrinter() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void PretendPrinter::serve() {
  struct Connection {
    std::string head;  // until it is known whether it asks for the status
    bool status = false;
    bool known = false;
  };
  std::vector<pollfd> fds{{listener_, POLLIN, 0}};
  std::vector<Connection> connections;
  std::array<char, 65536> buffer;
  while (!stop_) {
    {
      // A holding printer leaves the job's bytes in the connection; as a
      // printer on port 9100 does, it takes one job's connection at a time,
      // the oldest, and the others wait.
      std::lock_guard lock(mutex_);
      const bool holding = received_.size() >= holdAt_;
      bool jobTaken = false;
      for (size_t i = 1; i < fds.size(); ++i) {
        const Connection& connection = connections[i - 1];
        const bool job = connection.known && !connection.status;
        fds[i].events = job && (holding || jobTaken) ? 0 : POLLIN;
        jobTaken = jobTaken || job;
      }
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        fds.push_back({client, POLLIN, 0});
        connections.emplace_back();
        std::lock_guard lock(mutex_);
        ++open_;
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0 || fds[i].events == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
      Connection& connection = connections[i - 1];
      std::lock_guard lock(mutex_);
      bool drop = n <= 0;
      // A job's first bytes, read to tell it from a status request, are
      // its own once its turn comes.
      if (n <= 0) {
        if (!connection.status) received_ += connection.head;
      } else if (connection.known) {
        if (!connection.status) {
          received_ += std::exchange(connection.head, {});
          received_.append(buffer.data(), static_cast<size_t>(n));
        }
      } else {
        connection.head.append(buffer.data(), static_cast<size_t>(n));
        if (connection.head.size() >= 4) {
          connection.known = true;
          connection.status = connection.head.rfind("^cp\r", 0) == 0;
          if (!connection.status) {
            // Taken at once when no other job's connection is ahead.
            bool ahead = false;
            for (size_t j = 0; j + 1 < i; ++j) ahead = ahead || (connections[j].known && !connections[j].status);
            if (!ahead) received_ += std::exchange(connection.head, {});
          } else {
            ++statusRequests_;
            if (reply_ == StatusReply::Answer) {
              const uint8_t status = status_;
              (void)!write(fds[i].fd, &status, 1);
            } else if (reply_ == StatusReply::Reset) {
              // Closed with nothing to linger for: the peer gets a reset.
              const linger reset{1, 0};
              setsockopt(fds[i].fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
              drop = true;
            }
          }
        }
      }
      if (drop) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<long>(i));
        connections.erase(connections.begin() + static_cast<long>(i - 1));
        --open_;
        --i;
      }
    }
  }
  for (size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
}

std::string PretendPrinter::take(size_t bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (received_.size() >= bytes || (open_ == 0 && !received_.empty())) return std::exchange(received_, {});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard lock(mutex_);
  return std::exchange(received_, {});
}

void PretendPrinter::holdAfter(size_t bytes) {
  std::lock_guard lock(mutex_);
  holdAt_ = bytes;
}

void PretendPrinter::release() {
  std::lock_guard lock(mutex_);
  holdAt_ = SIZE_MAX;
}

bool PretendPrinter::waitUntilHeld() {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (received_.size() >= holdAt_) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

PrinterApp::PrinterApp(const std::string& ppdDirectory, const std::string& filter,
                       std::vector<std::string> serverOptions)
    : filter_(filter), serverOptions_(std::move(serverOptions)) {
  namespace fs = std::filesystem;
  // Our own copies, so that the unprivileged user reaches them wherever the
  // build lies.
  const std::string home = home_.path();
  fs::copy_file(TMK_APP_PATH, home + "/tmk-printer-app");
  fs::copy_file(TMK_FILTER_PATH, home + "/rastertoTmkLabel");
  fs::copy(ppdDirectory, home + "/ppd");
  fs::create_directory(home + "/spool");
  if (geteuid() == 0) {
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
      (void)!chown(entry.path().c_str(), 65534, 65534);
    }
    (void)!chown(home.c_str(), 65534, 65534);
  }
  int listener = loopbackListener(&port_);
  close(listener);
  start();
}

std::vector<std::string> PrinterApp::asServerUser() const {
  std::vector<std::string> args;
  if (geteuid() == 0) args = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  const std::string home = home_.path();
  args.insert(args.end(), {"/usr/bin/env", "-i", "HOME=" + home, "TMPDIR=" + home});
  // PAPPL 1.3.1 leaves its options and footer behind at exit: not ours to
  // report. The filters it starts are checked by the filter's own tests.
  if (const char* value = getenv("ASAN_OPTIONS")) args.push_back(std::string("ASAN_OPTIONS=") + value + ":detect_leaks=0");
  if (const char* value = getenv("UBSAN_OPTIONS")) args.push_back(std::string("UBSAN_OPTIONS=") + value);
  args.push_back(home + "/tmk-printer-app");
  return args;
}

void PrinterApp::start() {
  const std::string home = home_.path();
  std::vector<std::string> args = asServerUser();
  args.insert(args.end(), {"server", "-o", "server-port=" + std::to_string(port_), "-o", "spool-directory=" + home + "/spool",
                           "-o", "state-file=" + home + "/app.state", "-o", "log-file=" + home + "/app.log", "-o",
                           "log-level=debug", "-o",
                           "tmk-filter=" + (filter_.empty() ? home + "/rastertoTmkLabel" : filter_), "-o",
                           "tmk-ppd-directory=" + home + "/ppd"});
  // Whoever runs the tests administers the app: root always, anyone else as
  // a member of their own group.
  if (geteuid() != 0) {
    if (const group* own = getgrgid(getegid())) args.insert(args.end(), {"-o", std::string("admin-group=") + own->gr_name});
  }
  args.insert(args.end(), serverOptions_.begin(), serverOptions_.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start the printer application");
  }
  // Ready once its port and its control socket, which PAPPL adds after the
  // port, answer.
  const uid_t user = geteuid() == 0 ? 65534 : geteuid();
  const std::string control = home + "/tmk-printer-app-" + std::to_string(user) + "/tmk-printer-app" +
                              std::to_string(user) + ".sock";
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!accepting(port_) || !answersOn(control)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("the printer application ended at start:\n" + log());
    }
    if (Clock::now() > deadline) throw std::runtime_error("the printer application does not answer");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void PrinterApp::end(int signal) {
  if (pid_ > 0) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

IppResult PrinterApp::command(const std::vector<std::string>& args) const {
  std::vector<std::string> line = asServerUser();
  line.insert(line.end(), args.begin(), args.end());
  FilterRun run;
  run.args.assign(line.begin() + 1, line.end());
  const FilterResult result = runFilter(run, line.front());
  return {result.exitStatus, result.out + result.err};
}

PrinterApp::~PrinterApp() { stop(); }

std::string PrinterApp::log() const { return readFile(home_.path() + "/app.log"); }

size_t PrinterApp::spooled() const {
  const auto files = std::filesystem::directory_iterator(home_.path() + "/spool");
  // PAPPL's record of a job's attributes (".ipp") goes at the save after
  // the job ends.
  return static_cast<size_t>(
      std::count_if(std::filesystem::begin(files), std::filesystem::end(files), [](const auto& file) { return file.path().extension() != ".ipp"; }));
}

bool PrinterApp::running() const { return pid_ > 0 && kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

namespace {

struct ProcessStat {
  ProcessId id;
  pid_t parent = 0;
  char state = 0;
};

// What /proc/PID/stat says of a process; an id of 0 once it has ended.
ProcessStat processStat(const std::string& pid) {
  const std::string stat = readFile("/proc/" + pid + "/stat");
  // pid (name) state ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime stime cutime cstime priority nice threads itrealvalue
  // starttime ...; the name may hold spaces and parentheses.
  const size_t nameEnd = stat.rfind(')');
  ProcessStat process;
  if (nameEnd == std::string::npos ||
      std::sscanf(stat.c_str() + nameEnd + 1, " %c %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                  &process.state, &process.parent, &process.id.started) != 3) {
    return {};
  }
  process.id.pid = std::atoi(stat.c_str());
  return process;
}

// Every process.
std::vector<ProcessStat> processes() {
  std::vector<ProcessStat> list;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    if (const ProcessStat process = processStat(entry.path().filename().string()); process.id.pid > 0) list.push_back(process);
  }
  return list;
}

}  // namespace

bool alive(const ProcessId& process) {
  const ProcessStat now = processStat(std::to_string(process.pid));
  return now.id.pid == process.pid && now.id.started == process.started && now.state != 'Z' && now.state != 'X';
}

int PrinterApp::children() const {
  int count = 0;
  for (const ProcessStat& process : processes()) count += process.parent == pid_ ? 1 : 0;
  return count;
}

std::vector<ProcessId> PrinterApp::descendants() const {
  const auto all = processes();
  std::vector<ProcessId> tree;
  for (size_t i = 0; i <= tree.size(); ++i) {
    const pid_t parent = i == 0 ? pid_ : tree[i - 1].pid;
    for (const ProcessStat& process : all) {
      if (process.parent == parent) tree.push_back(process.id);
    }
  }
  return tree;
}

std::vector<std::string> PrinterApp::processOwners() const {
  std::vector<pid_t> tree{pid_};
  for (const ProcessId& process : descendants()) tree.push_back(process.pid);
  std::vector<std::string> owners;
  for (const pid_t process : tree) {
    const std::string status = readFile("/proc/" + std::to_string(process) + "/status");
    const size_t at = status.find("\nUid:");
    if (at != std::string::npos) owners.push_back(status.substr(at + 1, status.find('\n', at + 1) - at - 1));
  }
  return owners;
}

bool PrinterApp::waitUntilBlockedOnAPipe() const {
  namespace fs = std::filesystem;
  const std::string process = "/proc/" + std::to_string(pid_);
  const auto writingToAPipe = [&] {
    std::error_code error;
    for (const auto& task : fs::directory_iterator(process + "/task", error)) {
      // "number arguments... sp pc" while in a system call.
      long number = -1;
      unsigned long fd = 0;
      if (std::sscanf(readFile(task.path().string() + "/syscall").c_str(), "%ld %lx", &number, &fd) != 2 ||
          number != SYS_write) {
        continue;
      }
      const fs::path target = fs::read_symlink(process + "/fd/" + std::to_string(fd), error);
      if (!error && target.string().rfind("pipe:", 0) == 0) return true;
    }
    return false;
  };
  // A filter that reads takes a page in a moment; one that is stuck lets
  // the write wait on.
  constexpr int kChecks = 10;
  int stillWriting = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    stillWriting = writingToAPipe() ? stillWriting + 1 : 0;
    if (stillWriting == kChecks) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool PrinterApp::waitUntilBusy(double seconds) const {
  // utime and stime, after the name (which may hold spaces and parentheses).
  const auto used = [this] {
    const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    unsigned long user = 0, system = 0;
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos ||
        std::sscanf(stat.c_str() + nameEnd + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2) {
      return 0.0;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  };
  const double until = used() + seconds;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    if (used() >= until) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}


namespace {

// A request written as a browser on another name would write it: libcups
// sends "Host: localhost" to a loopback address whatever it is told.
PrinterApp::Page rawRequest(const std::string& address, int port, const std::string& path, const std::string& form,
                            const std::vector<std::pair<http_field_t, std::string>>& fields) {
  static const std::pair<http_field_t, const char*> kNames[] = {
      {HTTP_FIELD_HOST, "Host"}, {HTTP_FIELD_ORIGIN, "Origin"}, {HTTP_FIELD_REFERER, "Referer"}};
  std::string request = (form.empty() ? "GET " : "POST ") + path + " HTTP/1.0\r\n";
  for (const auto& [field, value] : fields) {
    for (const auto& [known, name] : kNames) {
      if (known == field) request += std::string(name) + ": " + value + "\r\n";
    }
  }
  if (!form.empty()) {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) + "\r\n";
  }
  request += "\r\n" + form;
  PrinterApp::Page page;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return page;
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    std::array<char, 4096> buffer;
    ssize_t got;
    while ((got = recv(fd, buffer.data(), buffer.size(), 0)) > 0) answer.append(buffer.data(), static_cast<size_t>(got));
  }
  close(fd);
  // "HTTP/1.0 200 OK\r\n...\r\n\r\nbody"
  std::sscanf(answer.c_str(), "HTTP/%*d.%*d %d", &page.status);
  const size_t body = answer.find("\r\n\r\n");
  if (body != std::string::npos) page.body = answer.substr(body + 4);
  return page;
}

}  // namespace

PrinterApp::Page PrinterApp::web(const std::string& path, const std::string& form, const std::string& host,
                                 const std::vector<std::pair<http_field_t, std::string>>& fields) const {
  if (std::any_of(fields.begin(), fields.end(), [](const auto& field) { return field.first == HTTP_FIELD_HOST; })) {
    return rawRequest(host, port_, path, form, fields);
  }
  Page page;
  http_t* http = httpConnect2(host.c_str(), port_, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  if (http == nullptr) return page;
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_HOST, "localhost");
  for (const auto& [field, value] : fields) httpSetField(http, field, value.c_str());
  bool sent = false;
  if (form.empty()) {
    sent = httpGet(http, path.c_str()) == 0;
  } else {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form.size());
    sent = httpPost(http, path.c_str()) == 0 && httpWrite2(http, form.data(), form.size()) == static_cast<ssize_t>(form.size());
  }
  http_status_t status = HTTP_STATUS_CONTINUE;
  while (sent && (status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
  }
  page.status = status;
  std::array<char, 4096> buffer;
  ssize_t n;
  while (sent && (n = httpRead2(http, buffer.data(), buffer.size())) > 0) page.body.append(buffer.data(), static_cast<size_t>(n));
  httpClose(http);
  return page;
}

void asUser(uid_t uid, const std::function<void()>& work) {
  std::thread thread([&] {
    if (syscall(SYS_setresuid, uid, uid, uid) == 0) work();
  });
  thread.join();
}

size_t largestSendBuffer() {
  size_t least = 0, initial = 0, most = size_t{4} << 20;
  std::sscanf(readFile("/proc/sys/net/ipv4/tcp_wmem").c_str(), "%zu %zu %zu", &least, &initial, &most);
  return most;
}

IppResult ipptool(const std::string& uri, const std::string& test, const std::vector<std::string>& args) {
  TempDir dir;
  FilterRun run;
  run.args = {"-t"};
  run.args.insert(run.args.end(), args.begin(), args.end());
  run.args.push_back(uri);
  run.args.push_back(dir.write("request.test", test));
  const FilterResult result = runFilter(run, TMK_IPPTOOL);
  return {result.exitStatus, result.out + result.err};
}

std::string createPrinterTest(const std::string& name, const std::string& driver, const std::string& deviceUri) {
  return "{\n"
         "  NAME \"Create-Printer\"\n"
         "  OPERATION Create-Printer\n"
         "  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n"
         "  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri system-uri $uri\n"
         "  ATTR name requesting-user-name test\n"
         "  ATTR keyword printer-service-type print\n"
         "  ATTR keyword smi55357-driver " +
         driver +
         "\n"
         "  ATTR uri smi55357-device-uri " +
         deviceUri +
         "\n"
         "  GROUP printer-attributes-tag\n"
         "  ATTR name printer-name " +
         name +
         "\n"
         "  STATUS successful-ok\n"
         "}\n";
}

namespace {

// The operation attributes of a request about the printer's jobs.
constexpr const char* kJobOperation =
    "  GROUP operation-attributes-tag\n"
    "  ATTR charset attributes-charset utf-8\n"
    "  ATTR naturalLanguage attributes-natural-language en\n"
    "  ATTR uri printer-uri $uri\n"
    "  ATTR name requesting-user-name test\n";

}  // namespace

std::string printJobTest(const std::string& jobAttributes, const std::string& ending) {
  const std::string operation = kJobOperation;
  return "{\n  NAME \"Print-Job\"\n  OPERATION Print-Job\n" + operation +
         "  ATTR mimeMediaType document-format $filetype\n"
         "  GROUP job-attributes-tag\n" +
         jobAttributes +
         "  FILE $filename\n"
         "  STATUS successful-ok\n"
         "}\n"
         "{\n  NAME \"Job ends\"\n  OPERATION Get-Job-Attributes\n" +
         operation +
         "  ATTR integer job-id $job-id\n"
         "  STATUS successful-ok\n"
         "  EXPECT job-state WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 600\n"
         "  DELAY \"0,0.05\"\n"
         "}\n"
         "{\n  NAME \"Job ending\"\n  OPERATION Get-Job-Attributes\n" +
         operation +
         "  ATTR integer job-id $job-id\n"
         "  STATUS successful-ok\n" +
         ending + "}\n";
}

std::string cancelJobTest() {
  const std::string operation = kJobOperation;
  return "{\n  NAME \"Get-Jobs\"\n  OPERATION Get-Jobs\n" + operation +
         "  ATTR keyword which-jobs not-completed\n"
         "  ATTR keyword requested-attributes job-id\n"
         "  STATUS successful-ok\n"
         "  EXPECT job-id\n"
         "}\n"
         "{\n  NAME \"Cancel-Job\"\n  OPERATION Cancel-Job\n" +
         operation +
         "  ATTR integer job-id $job-id\n"
         "  STATUS successful-ok\n"
         "}\n";
}

std::string printerAttributesTest(const std::string& requested, const std::string& expectations) {
  return "{\n  NAME \"Get-Printer-Attributes\"\n  OPERATION Get-Printer-Attributes\n"
         "  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n"
         "  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri printer-uri $uri\n"
         "  ATTR keyword requested-attributes " +
         requested +
         "\n"
         "  STATUS successful-ok\n" +
         expectations + "}\n";
}

std::string grayRaster(cups_mode_t mode, uint32_t width, uint32_t height, unsigned resolution,
                       const std::vector<std::vector<uint8_t>>& pages) {
  TempDir dir;
  const std::string path = dir.path() + "/pages.ras";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  cups_raster_t* ras = cupsRasterOpen(fd, mode);
  cups_page_header2_t header;
  pwg_media_t* media = pwgMediaForSize(static_cast<int>(width * 2540 / resolution),
                                       static_cast<int>(height * 2540 / resolution));
  cupsRasterInitPWGHeader(&header, media, "sgray_8", static_cast<int>(resolution), static_cast<int>(resolution),
                          "one-sided", "normal");
  header.cupsWidth = width;
  header.cupsHeight = height;
  header.cupsBytesPerLine = width;
  header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages.size());
  for (const std::vector<uint8_t>& gray : pages) {
    if (cupsRasterWriteHeader2(ras, &header) == 0 ||
        cupsRasterWritePixels(ras, const_cast<uint8_t*>(gray.data()), static_cast<unsigned>(gray.size())) != gray.size()) {
      throw std::runtime_error("cannot write raster");
    }
  }
  cupsRasterClose(ras);
  close(fd);
  return readFile(path);
}

std::string png(uint32_t width, uint32_t height, const std::vector<uint8_t>& gray) {
  TempDir dir;
  const std::string path = dir.path() + "/page.png";
  FILE* file = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (file == nullptr || png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    throw std::runtime_error("cannot write PNG");
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) png_write_row(png, gray.data() + size_t{y} * width);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
  return readFile(path);
}

std::string jpeg(uint32_t width, uint32_t height, const std::vector<uint8_t>& gray, JpegCoding coding) {
  TempDir dir;
  const std::string path = dir.path() + "/page.jpg";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write JPEG");
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = width;
  info.image_height = height;
  const bool color = coding == JpegCoding::ProgressiveColor;
  info.input_components = color ? 3 : 1;
  info.in_color_space = color ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 100, TRUE);
  if (coding != JpegCoding::Baseline) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> rgb(color ? size_t{width} * 3 : 0);
  while (info.next_scanline < height) {
    JSAMPROW row = const_cast<uint8_t*>(gray.data()) + size_t{info.next_scanline} * width;
    if (color) {
      for (size_t x = 0; x < width; ++x) std::fill_n(rgb.begin() + static_cast<long>(x * 3), 3, row[x]);
      row = rgb.data();
    }
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(file);
  return readFile(path);
}
