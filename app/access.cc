#include "access.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "interpose.h"

namespace {

struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
};

// An IPv4-mapped IPv6 address as the IPv4 one.
void unmap(Endpoint& end) {
  if (end.address.ss_family != AF_INET6) return;
  const auto& six = reinterpret_cast<const sockaddr_in6&>(end.address);
  if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return;
  sockaddr_in four{};
  four.sin_family = AF_INET;
  four.sin_port = six.sin6_port;
  std::memcpy(&four.sin_addr, six.sin6_addr.s6_addr + 12, 4);
  std::memcpy(&end.address, &four, sizeof four);
}

bool isLoopback(const Endpoint& end) {
  if (end.address.ss_family == AF_INET) {
    const auto& four = reinterpret_cast<const sockaddr_in&>(end.address);
    return (ntohl(four.sin_addr.s_addr) >> 24) == 127;
  }
  if (end.address.ss_family == AF_INET6) {
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(end.address).sin6_addr);
  }
  return false;
}

// An address and port as the kernel lists them in /proc/net/tcp{,6}: each
// 32-bit word of the address as a number in host order, then the port.
std::string procAddress(const Endpoint& end) {
  std::array<char, 64> text{};
  if (end.address.ss_family == AF_INET) {
    const auto& four = reinterpret_cast<const sockaddr_in&>(end.address);
    uint32_t word;
    std::memcpy(&word, &four.sin_addr, sizeof word);
    std::snprintf(text.data(), text.size(), "%08X:%04X", word, ntohs(four.sin_port));
  } else {
    const auto& six = reinterpret_cast<const sockaddr_in6&>(end.address);
    std::array<uint32_t, 4> words;
    std::memcpy(words.data(), &six.sin6_addr, sizeof words);
    std::snprintf(text.data(), text.size(), "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3],
                  ntohs(six.sin6_port));
  }
  return text.data();
}

// The user whose process holds the other end of a loopback connection: the
// kernel lists that socket with the peer's address as its own and ours as
// its remote one, with its owner.
std::optional<uid_t> loopbackPeerUser(const Endpoint& ours, const Endpoint& peer) {
  std::ifstream table(peer.address.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
  const std::string local = procAddress(peer), remote = procAddress(ours);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    // "sl: local remote state queues timer retransmits uid ..."
    std::array<char, 64> from{}, to{};
    unsigned long uid = 0;
    if (std::sscanf(line.c_str(), " %*[^:]: %63s %63s %*x %*s %*s %*s %lu", from.data(), to.data(), &uid) == 3 &&
        local == from.data() && remote == to.data()) {
      return static_cast<uid_t>(uid);
    }
  }
  return std::nullopt;
}

bool isMember(uid_t uid, gid_t groupId) {
  if (uid == 0) return true;
  if (groupId == static_cast<gid_t>(-1)) return false;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* user = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr) return false;
  if (user->pw_gid == groupId) return true;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == groupId) return true;
  }
  return false;
}

// The name a client gives for itself, as CUPS takes it for its own jobs:
// job ownership goes by it, administration never does.
void takeRequestingUser(pappl_client_t* client) {
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* name = request != nullptr ? ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME) : nullptr;
  papplClientSetUsername(client, name != nullptr ? ippGetString(name, 0, nullptr) : nullptr);
}

}  // namespace

std::string deviceUriRefusal(const char* uri) {
  const std::string_view text = uri != nullptr ? uri : "";
  std::array<char, 32> scheme{};
  std::array<char, 256> userpass{}, host{}, resource{};
  int port = 0;
  const bool parsed = httpSeparateURI(HTTP_URI_CODING_ALL, uri != nullptr ? uri : "", scheme.data(), scheme.size(),
                                      userpass.data(), userpass.size(), host.data(), host.size(), &port,
                                      resource.data(), resource.size()) >= HTTP_URI_STATUS_OK;
  const std::string_view kind = parsed ? scheme.data() : "";
  if (kind == "socket" && host[0] != '\0' && port > 0) return "";
  if (kind == "usb" && text.size() > 6) return "";
  return "only network printers (socket://HOST[:PORT]) and USB printers (usb://...) can be used";
}

AccessPolicy gAccessPolicy;

http_status_t authorizeClient(pappl_client_t* client, const char* group, gid_t groupId, void* policy) {
  const bool shared = static_cast<const AccessPolicy*>(policy)->shared;
  const int fd = httpGetFd(papplClientGetHTTP(client));
  Endpoint ours, peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours.address), &ours.length) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) != 0) {
    return HTTP_STATUS_FORBIDDEN;
  }
  unmap(ours);
  unmap(peer);
  const bool local = isLoopback(peer);
  if (!local && !shared) return HTTP_STATUS_FORBIDDEN;
  takeRequestingUser(client);
  if (group == nullptr) return HTTP_STATUS_CONTINUE;
  // Administration: only from this machine, by root or a member of the group.
  const std::optional<uid_t> user = local ? loopbackPeerUser(ours, peer) : std::nullopt;
  if (!user || !isMember(*user, groupId)) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: %s needs a local administrator (root or group %s).",
                   papplClientGetURI(client), group);
    return HTTP_STATUS_FORBIDDEN;
  }
  return HTTP_STATUS_CONTINUE;
}

// Create-Printer asks PAPPL whether it knows the device URI before it makes
// the printer: a refused one is answered as an unsupported
// smi55357-device-uri there, rather than as a driver that cannot be used.
// The driver callback refuses it all the same, at every door.
extern "C" bool papplDeviceIsSupported(const char* uri) {
  static const auto pappl = theirs<bool (*)(const char*)>("papplDeviceIsSupported");
  return deviceUriRefusal(uri).empty() && pappl != nullptr && pappl(uri);
}

// PAPPL 1.3.1 acts on some of its pages' forms without asking who sent them:
// a printer's page holds new jobs, pauses the printer or prints a test page
// for anyone who reached the page. Every form the web pages take changes the
// system or a printer, so it is taken from the local administrators only
// (the app's own pages ask first, too); anyone else's is an invalid form.
extern "C" bool papplClientIsValidForm(pappl_client_t* client, int numForm, cups_option_t* form) {
  static const auto pappl = theirs<bool (*)(pappl_client_t*, int, cups_option_t*)>("papplClientIsValidForm");
  if (papplClientIsAuthorized(client) != HTTP_STATUS_CONTINUE) return false;
  return pappl != nullptr && pappl(client, numForm, form);
}

bool webFormsGuarded() {
  return ours("papplClientIsValidForm", reinterpret_cast<void*>(&papplClientIsValidForm));
}

// PAPPL 1.3.1 asks the authorization callback only after it has required
// TLS of every client on another host, for printing too: a Print-Job sent
// over plain IPP is refused with 426 Upgrade Required while its document is
// still on the way, which clients cannot take back (ipptool and CUPS's ipp
// backend fail the job). Its check goes through here (its calls between its
// own functions go through the PLT), so the same policy applies without
// that: shared printers take plain IPP, as CUPS's do. Should a PAPPL not
// call this, its own check still asks authorizeClient, with TLS.
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allowRemote,
                                                          const char* group, gid_t groupId) {
  // The control socket: whoever reaches its folder.
  if (httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL) return HTTP_STATUS_CONTINUE;
  // Without a group PAPPL still means administration when it allows no
  // client from another host.
  if (!allowRemote && group == nullptr) group = "root";
  return authorizeClient(client, group, groupId, &gAccessPolicy);
}
