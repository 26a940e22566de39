#include "printer_connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr int kConnectMilliseconds = 2000;

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

Fd connectToPrinter(pappl_printer_t* printer, const char* uri, int* stop) {
  Address target;
  if (!socketAddress(uri, target)) return Fd();
  const std::unique_ptr<http_addrlist_t, decltype(&httpAddrFreeList)> addresses(
      httpAddrGetList(target.host.data(), AF_UNSPEC, std::to_string(target.port).c_str()), httpAddrFreeList);
  if (addresses == nullptr) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Unable to look up %s: %s", target.host.data(),
                    cupsLastErrorString());
    return Fd();
  }
  int fd = -1;
  if (httpAddrConnect2(addresses.get(), &fd, kConnectMilliseconds, stop) == nullptr) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Unable to connect to %s:%d: %s", target.host.data(), target.port,
                    cupsLastErrorString());
    return Fd();
  }
  return Fd(fd);
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
  const Fd fresh = connectToPrinter(printer, papplPrinterGetDeviceURI(printer), nullptr);
  // Without a new connection the next job fails to write, as after any
  // connection that went away.
  if (fresh.get() >= 0 && dup3(fresh.get(), cut, O_CLOEXEC) >= 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Connected to the printer again.");
  }
}
