// Here, in the thread of PAPPL's main loop as it takes each connection
// (and in a client's as it ends), a network connection is closed as soon as
// it is taken when its peer (a local user, another host) already holds a
// quarter of max-clients, or when the network's connections hold all but a
// few: the control socket is always served, and no one peer keeps the
// others out.
#include "connection_limits.h"

#include <cups/http.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "interpose.h"
#include "peer.h"
#include "server_settings.h"

namespace {

// Kept for the control socket's connections.
constexpr int kReserved = 4;

std::mutex gMutex;
std::map<std::string, int> gByPeer;              // open connections of each peer
std::unordered_map<http_t*, std::string> gPeerOf;  // each connection counted
int gCounted = 0;                                 // all of them; guarded by gMutex

int perPeer() { return std::max(1, gLimits.clients / 4); }

}  // namespace

extern "C" http_t* httpAcceptConnection(int fd, int blocking) {
  static const auto accept = theirs<decltype(&httpAcceptConnection)>("httpAcceptConnection");
  static const auto close = theirs<decltype(&httpClose)>("httpClose");
  http_t* http = accept(fd, blocking);
  if (http == nullptr) return http;
  const std::string peer = connectionPeer(httpGetFd(http));
  if (peer.empty()) return http;  // the control socket
  {
    std::lock_guard lock(gMutex);
    int& held = gByPeer[peer];
    if (held < perPeer() && gCounted < gLimits.clients - kReserved) {
      ++held;
      ++gCounted;
      gPeerOf.emplace(http, peer);
      return http;
    }
    if (held == 0) gByPeer.erase(peer);
  }
  close(http);
  // PAPPL logs that it could not take a client, and why.
  errno = EUSERS;
  return nullptr;
}

extern "C" void httpClose(http_t* http) {
  static const auto close = theirs<decltype(&httpClose)>("httpClose");
  if (http != nullptr) {
    std::lock_guard lock(gMutex);
    if (const auto counted = gPeerOf.find(http); counted != gPeerOf.end()) {
      if (--gByPeer[counted->second] == 0) gByPeer.erase(counted->second);
      --gCounted;
      gPeerOf.erase(counted);
    }
  }
  close(http);
}

bool connectionsLimited() {
  return ours("httpAcceptConnection", reinterpret_cast<void*>(&httpAcceptConnection)) &&
         ours("httpClose", reinterpret_cast<void*>(&httpClose));
}
