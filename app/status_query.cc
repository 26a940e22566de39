#include "status_query.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>

#include "filter_process.h"
#include "filter_reasons.h"
#include "printer_connection.h"

namespace {

// How often a status query that waits for the printer looks whether it
// should give way.
constexpr int kJobCheckMilliseconds = 50;

// The filter run with its status check on and no job: its one request goes
// to the printer, and the answer back to it over the back channel.
class StatusQuery final : public FilterUse {
 public:
  // Over `connection` when it is open, else over `device`.
  StatusQuery(pappl_printer_t* printer, pappl_device_t* device, Fd connection, int& stop)
      : printer_(printer), device_(device), connection_(std::move(connection)),
        viaConnection_(connection_.get() >= 0), stop_(stop) {}

  // Whether the printer answered; nothing when the query gave way to a job
  // before it could.
  std::optional<bool> run(const DriverInfo& driver) {
    FilterProcess::Call call{ppdPath(driver), "StatusCheck=1 RunTrace=0_Off", "/dev/null", 0, "status", "status"};
    if (!process_.start(call)) return std::nullopt;
    process_.finish();
    // A query reports only when the printer answered; then every reason it
    // cleared and did not set again goes.
    if (added_ != 0 || removed_ != 0) papplPrinterSetReasons(printer_, added_, removed_ & ~added_);
    papplDeviceFlush(device_);
    if (!answered_ && gaveWay_) return std::nullopt;
    return answered_;
  }

 private:
  // The status request comes alone, and the filter waits for the answer.
  bool deliver(std::span<const char> bytes) override {
    const bool sent = send(bytes);
    if (!std::exchange(asked_, true)) {
      if (!sent) {
        endReply("the printer did not take the status request");
      } else if (!viaConnection_) {
        readDeviceReply();
      }
    }
    return sent;
  }

  void message(std::string_view line) override {
    // Only its reasons count.
    if (line.starts_with("STATE: +")) added_ |= reasonBit(line.substr(8));
    if (line.starts_with("STATE: -")) removed_ |= reasonBit(line.substr(8));
  }

  void drain() override { papplDeviceFlush(device_); }

  // While the answer is awaited on the connection, every short while the
  // wait looks whether it should give way.
  Wait waitFor() override {
    if (asked_ && connection_.get() >= 0) return {connection_.get(), kJobCheckMilliseconds};
    return {};
  }

  void awake(bool ready) override {
    if (ready) {
      readConnectionReply();
    } else if (const char* why = giveWay()) {
      gaveWay_ = true;
      endReply(why);
    }
  }

  void outputEnded() override {
    if (asked_ && connection_.get() >= 0) endReply("no answer");
  }

  void report(bool error, const std::string& text, const std::string& /*forClient*/) override {
    papplLogPrinter(printer_, error ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_DEBUG, "%s", text.c_str());
  }

  bool send(std::span<const char> bytes) {
    if (!viaConnection_) return papplDeviceWrite(device_, bytes.data(), bytes.size()) >= 0;
    while (!bytes.empty()) {
      const ssize_t put = ::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return true;
  }

  // PAPPL's read waits up to 10 s for a silent printer while the query holds
  // the device, and a job cannot open it meanwhile: a job that is already
  // waiting goes first.
  void readDeviceReply() {
    if (const char* why = giveWay()) {
      gaveWay_ = true;
      endReply(why);
      return;
    }
    std::array<unsigned char, 2> reply{};
    papplDeviceFlush(device_);
    const ssize_t got = papplDeviceRead(device_, reply.data(), reply.size());
    answered_ = got > 0;
    if (answered_) process_.answer(std::span(reply.data(), static_cast<size_t>(got)));
    endReply(answered_ ? nullptr : "no answer");
  }

  // The filter reads at most 2 bytes of the answer; the printer's first
  // bytes are all of it.
  void readConnectionReply() {
    std::array<unsigned char, 2> reply{};
    ssize_t got;
    while ((got = read(connection_.get(), reply.data(), reply.size())) < 0 && errno == EINTR) {
    }
    answered_ = got > 0;
    if (answered_) process_.answer(std::span(reply.data(), static_cast<size_t>(got)));
    endReply(answered_ ? nullptr : got == 0 ? "the printer closed the connection" : "the connection failed");
  }

  // Why the query should stop waiting for the printer, or null.
  const char* giveWay() const {
    if (std::atomic_ref<int>(stop_).load() != 0) return "the printer is being deleted";
    if (papplPrinterGetNumberOfActiveJobs(printer_) > 0) return "a job wants the printer";
    return nullptr;
  }

  // Ends the filter's wait for the status byte: it reads what was passed on,
  // then the end of the back channel. The connection is let go at once, for
  // a printer that serves one connection at a time.
  void endReply(const char* why) {
    if (why != nullptr) {
      papplLogPrinter(printer_, PAPPL_LOGLEVEL_DEBUG, "No status from the printer: %s.", why);
    }
    process_.endAnswer();
    connection_.reset();
  }

  pappl_printer_t* printer_;
  pappl_device_t* device_;
  Fd connection_;
  bool viaConnection_;
  int& stop_;
  bool asked_ = false, answered_ = false, gaveWay_ = false;  // the output thread's, read after it ends
  pappl_preason_t added_ = PAPPL_PREASON_NONE, removed_ = PAPPL_PREASON_NONE;
  FilterProcess process_{*this};
};

}  // namespace

std::optional<bool> queryPrinterStatus(pappl_printer_t* printer, const DriverInfo& driver, int& stop) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  if (uri == nullptr || std::atomic_ref<int>(stop).load() != 0) return std::nullopt;
  // A printer busy with a job is asked another time.
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) return std::nullopt;
  // A socket:// printer gets a connection of the app's own; other devices
  // (USB) are reached only through PAPPL.
  Fd connection;
  pappl_device_t* device = nullptr;
  if (std::string_view(uri).starts_with("socket:")) {
    connection = connectToPrinter(printer, uri, &stop);
    if (connection.get() < 0) return false;
  } else if ((device = papplPrinterOpenDevice(printer)) == nullptr) {
    return std::nullopt;
  }
  std::optional<bool> answered;
  {
    StatusQuery query(printer, device, std::move(connection), stop);
    answered = query.run(driver);
  }
  if (device != nullptr) papplPrinterCloseDevice(printer);
  return answered;
}
