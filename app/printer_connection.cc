// Connections to socket:// printers: the app's own, over which the status
// query asks, and the one of PAPPL's device, which the deadline of a
// canceled job cuts when the printer has stopped reading.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app.h"

namespace {

constexpr int kConnectMilliseconds = 2000;
constexpr int kStopCheckMilliseconds = 50;

struct Address {
  std::array<char, 256> host{};
  int port = 0;
};

bool socketAddress(const char* uri, Address& address) {
  std::array<char, 32> scheme{};
  std::array<char, 256> userpass{}, resource{};
  return uri != nullptr && std::string_view(uri).starts_with("socket://") &&
         httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), scheme.size(), userpass.data(), userpass.size(),
                         address.host.data(), static_cast<int>(address.host.size()), &address.port, resource.data(),
                         resource.size()) >= HTTP_URI_STATUS_OK;
}

// The descriptor of a socket:// printer's device. PAPPL 1.3.1 keeps no
// accessor for it: it is the first member of the data of its network scheme.
// It is taken only when it is a socket connected to the device URI's port,
// so that another PAPPL's data is never taken for it; the connection is then
// left alone, and a printer that stops reading keeps a canceled job as
// before.
int deviceSocket(pappl_printer_t* printer, pappl_device_t* device) {
  Address address;
  const auto* data = static_cast<const int*>(papplDeviceGetData(device));
  if (!socketAddress(papplPrinterGetDeviceURI(printer), address) || data == nullptr) return -1;
  const int fd = *data;
  struct stat file {};
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (fd < 0 || fstat(fd, &file) != 0 || !S_ISSOCK(file.st_mode) ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return -1;
  }
  int port = -1;
  if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
  if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
  return port == address.port ? fd : -1;
}

}  // namespace

Fd connectToPrinter(pappl_printer_t* printer, const char* uri, const std::atomic<bool>& stop) {
  Address target;
  if (!socketAddress(uri, target)) return Fd();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(target.host.data(), std::to_string(target.port).c_str(), &hints, &found);
      error != 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Unable to look up %s: %s.", target.host.data(),
                    gai_strerror(error));
    return Fd();
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int error = 0;
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    Fd connection(socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connection.get() < 0) {
      error = errno;
      continue;
    }
    if (connect(connection.get(), address->ai_addr, address->ai_addrlen) != 0) {
      error = errno;
      if (error != EINPROGRESS) continue;
      pollfd writable{connection.get(), POLLOUT, 0};
      socklen_t length = sizeof error;
      int ready = 0;
      for (int waited = 0; ready == 0 && waited < kConnectMilliseconds && !stop; waited += kStopCheckMilliseconds) {
        ready = poll(&writable, 1, kStopCheckMilliseconds);
        if (ready < 0 && errno == EINTR) ready = 0;
      }
      if (ready <= 0) {
        error = ETIMEDOUT;
        continue;
      }
      if (getsockopt(connection.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) continue;
    }
    fcntl(connection.get(), F_SETFL, fcntl(connection.get(), F_GETFL) & ~O_NONBLOCK);
    return connection;
  }
  papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Unable to connect to %s:%d: %s.", target.host.data(), target.port,
                  std::strerror(error));
  return Fd();
}

int cutPrinterConnection(pappl_printer_t* printer, pappl_device_t* device) {
  const int fd = deviceSocket(printer, device);
  if (fd < 0) return -1;
  // Closed with a reset, not after the bytes still queued for the printer:
  // no more of the canceled job reaches it.
  const linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  return shutdown(fd, SHUT_RDWR) == 0 ? fd : -1;
}

void renewPrinterConnection(pappl_printer_t* printer, int cut) {
  const std::atomic<bool> never{false};
  const Fd fresh = connectToPrinter(printer, papplPrinterGetDeviceURI(printer), never);
  // Without a new connection the next job fails to write, as after any
  // connection that went away.
  if (fresh.get() >= 0 && dup3(fresh.get(), cut, O_CLOEXEC) >= 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Connected to the printer again.");
  }
}
