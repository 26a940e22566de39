// The printer application as its users meet it: started as an unprivileged
// user on a loopback port with a spool folder of its own, driven with
// ipptool, printing to a pretend printer on a loopback socket.
#pragma once

#include <cups/http.h>
#include <cups/raster.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

// A label printer on 127.0.0.1: keeps what the jobs send and answers a
// connection that opens with the status request "^cp\r" with its status
// byte, or, as a one-way or failing printer would, leaves the request
// unanswered or resets the connection.
class PretendPrinter {
 public:
  enum class StatusReply { Answer, Silent, Reset };

  explicit PretendPrinter(uint8_t status = 0);
  ~PretendPrinter();
  PretendPrinter(const PretendPrinter&) = delete;
  PretendPrinter& operator=(const PretendPrinter&) = delete;

  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  void setStatus(uint8_t status) { status_ = status; }
  void setStatusReply(StatusReply reply) { reply_ = reply; }
  // Status requests received so far.
  int statusRequests() const { return statusRequests_; }
  // Waits until `bytes` bytes have arrived since the last take() or the
  // connections are closed, then hands them over.
  std::string take(size_t bytes);
  // A printer that has stopped taking data: once `bytes` bytes are waiting
  // to be taken, nothing more is read until release().
  void holdAfter(size_t bytes);
  void release();
  // Waits until the printer holds; false when it did not within seconds.
  bool waitUntilHeld();

 private:
  void serve();

  int listener_ = -1;
  int port_ = 0;
  std::atomic<uint8_t> status_;
  std::atomic<StatusReply> reply_{StatusReply::Answer};
  std::atomic<int> statusRequests_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  int open_ = 0;
  size_t holdAt_ = SIZE_MAX;
  std::thread thread_;
};

// A process, and when it started: its number may go to another later.
struct ProcessId {
  pid_t pid = 0;
  unsigned long long started = 0;  // clock ticks after boot
};
// True while the process runs (not once it is a zombie).
bool alive(const ProcessId& process);

struct IppResult {
  int status = -1;
  std::string output;
};

// The app, with the filter and the PPDs of `ppdDirectory`.
class PrinterApp {
 public:
  // `filter` replaces the build's filter when given; `serverOptions` come
  // last on the server's command line.
  explicit PrinterApp(const std::string& ppdDirectory, const std::string& filter = "",
                      std::vector<std::string> serverOptions = {});
  ~PrinterApp();
  PrinterApp(const PrinterApp&) = delete;
  PrinterApp& operator=(const PrinterApp&) = delete;

  std::string systemUri() const { return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/system"; }
  std::string printerUri(const std::string& name) const {
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + name;
  }
  std::string home() const { return home_.path(); }
  int port() const { return port_; }
  std::string log() const;
  // The documents in the spool folder, not the jobs' records.
  size_t spooled() const;
  bool running() const;
  // Stops the server, and starts it again on the same home, state and port.
  void stop() { end(SIGTERM); }
  void start();
  // Ends the server with `signal` and waits for it.
  void end(int signal);
  // The app's command line (`args` after the program), run as the server's
  // user so that it finds the server's control socket.
  IppResult command(const std::vector<std::string>& args) const;
  // The processes the app has started and not yet waited for.
  int children() const;
  // The "Uid:" lines (real, effective, saved and file system user) of the
  // app and every process under it.
  std::vector<std::string> processOwners() const;
  // Every process under the app: its filters, prefilters and what they start.
  std::vector<ProcessId> descendants() const;
  // Waits until a thread of the app has slept in a write to a pipe for a
  // while: a filter has stopped taking the job's pages. False when none did
  // within seconds.
  bool waitUntilBlockedOnAPipe() const;
  // Waits until the app has used `seconds` of processor time more than when
  // called; false when it did not within 30 s.
  bool waitUntilBusy(double seconds) const;

  struct Page {
    int status = 0;
    std::string body;
  };
  // A page of the web interface; a form is posted when `form` is given.
  // `host` is the address the app is reached at; `fields` are sent besides
  // (Host: is libcups', "localhost:PORT" on loopback, unless they say).
  Page web(const std::string& path, const std::string& form = "", const std::string& host = "127.0.0.1",
           const std::vector<std::pair<http_field_t, std::string>>& fields = {}) const;

 private:
  std::vector<std::string> asServerUser() const;

  TempDir home_;
  std::string filter_;
  std::vector<std::string> serverOptions_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A TCP connection to 127.0.0.1:`port`, or -1.
int loopbackConnection(int port);

// Runs `work` in a thread of its own as the user `uid` (the other threads
// keep theirs; only root may): the kernel names that user as the owner of
// the connections the thread makes.
void asUser(uid_t uid, const std::function<void()>& work);

// The most a socket's send buffer grows to: what the kernel keeps of a job
// whose printer has stopped reading.
size_t largestSendBuffer();

// Runs ipptool -t on a test file written from `test`, with `args` before the
// URI (e.g. -f FILE -d filetype=...).
IppResult ipptool(const std::string& uri, const std::string& test, const std::vector<std::string>& args = {});

// The Create-Printer request for a printer named `name`.
std::string createPrinterTest(const std::string& name, const std::string& driver, const std::string& deviceUri);

// A Print-Job with `jobAttributes` (ipptool ATTR lines) that waits for the
// job and checks how it ended with `ending` (EXPECT lines of a
// Get-Job-Attributes), by default completed.
std::string printJobTest(const std::string& jobAttributes,
                         const std::string& ending = "  EXPECT job-state WITH-VALUE 9\n");

// Finds the printer's job in progress and cancels it with Cancel-Job.
std::string cancelJobTest();

// A Get-Printer-Attributes request for `requested` (PAPPL 1.3.1 drops some
// attributes when "all" comes with other names) with `expectations`.
std::string printerAttributesTest(const std::string& requested, const std::string& expectations);

// Pages of 8-bit gray, 0 for black and 255 for white, as PWG raster
// (CUPS_RASTER_WRITE_PWG) or Apple raster (CUPS_RASTER_WRITE_APPLE).
std::string grayRaster(cups_mode_t mode, uint32_t width, uint32_t height, unsigned resolution,
                       const std::vector<std::vector<uint8_t>>& pages);
inline std::string pwgRaster(uint32_t width, uint32_t height, unsigned resolution, const std::vector<uint8_t>& gray) {
  return grayRaster(CUPS_RASTER_WRITE_PWG, width, height, resolution, {gray});
}
// A page as a gray PNG image.
std::string png(uint32_t width, uint32_t height, const std::vector<uint8_t>& gray);
// How jpeg() codes a page: in one scan, or progressive as libjpeg's simple
// progression has it, in gray or in color (each pixel's level in red, green
// and blue; the color sampled 2 x 2, as cameras do).
enum class JpegCoding { Baseline, Progressive, ProgressiveColor };
// A page as a JPEG image of quality 100.
std::string jpeg(uint32_t width, uint32_t height, const std::vector<uint8_t>& gray,
                 JpegCoding coding = JpegCoding::Baseline);
