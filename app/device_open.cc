// PAPPL 1.3.1 opens a job's device with its printer locked, and waits up to
// 30 s for a socket:// printer that does not answer the connection (one
// switched off behind a router, or whose connections queue up); it tries
// again every 5 s. Meanwhile everything that reads that printer waits, and a
// save of the state, which holds the whole system as it reads each printer,
// kept the server from taking any connection: with one such printer, a
// request to another printer waited 29 s. Here a connection gets 2 s, as
// the status query's does, and the state is saved between the tries.
#include "device_open.h"

#include <cups/http.h>
#include <pappl/pappl.h>

#include <atomic>

#include "interpose.h"

namespace {

constexpr int kConnectMilliseconds = 2000;

std::atomic<int> gOpening{0};

}  // namespace

extern "C" pappl_device_t* papplDeviceOpen(const char* uri, const char* name, pappl_deverror_cb_t errorCallback,
                                           void* errorData) {
  static const auto open = theirs<decltype(&papplDeviceOpen)>("papplDeviceOpen");
  ++gOpening;
  pappl_device_t* device = open(uri, name, errorCallback, errorData);
  --gOpening;
  return device;
}

// libcups' connect, which PAPPL's network devices use: a negative time is
// no limit.
extern "C" http_addrlist_t* httpAddrConnect2(http_addrlist_t* addresses, int* sock, int msec, int* cancel) {
  static const auto connect = theirs<decltype(&httpAddrConnect2)>("httpAddrConnect2");
  return connect(addresses, sock, msec < 0 || msec > kConnectMilliseconds ? kConnectMilliseconds : msec, cancel);
}

bool devicesOpening() { return gOpening > 0; }
