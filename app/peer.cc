#include "peer.h"

#include <arpa/inet.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "spawn.h"

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

std::string addressText(const Endpoint& end) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  const void* raw = end.address.ss_family == AF_INET
                        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(end.address).sin_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(end.address).sin6_addr);
  return inet_ntop(end.address.ss_family, raw, text.data(), text.size()) != nullptr ? text.data() : "";
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

// The user whose process holds the other end of a loopback connection, as
// the kernel lists that socket in /proc/net/tcp{,6}: the peer's address as
// its own, ours as its remote one, with its owner. Every socket of the
// machine is listed, TIME_WAIT ones among them: after a thousand short
// connections a scan took milliseconds.
std::optional<uid_t> scannedPeerUser(const Endpoint& ours, const Endpoint& peer) {
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

// The same asked of the kernel for that one socket (sock_diag): a lookup,
// whatever else the machine has open. Empty when the kernel does not answer
// such questions (the table is read then) or has no such socket.
std::optional<uid_t> askedPeerUser(const Endpoint& ours, const Endpoint& peer, bool& answered) {
  answered = false;
  const Fd netlink(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (netlink.get() < 0) return std::nullopt;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } question{};
  question.header.nlmsg_len = sizeof question;
  question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  question.header.nlmsg_flags = NLM_F_REQUEST;
  question.request.sdiag_family = static_cast<uint8_t>(peer.address.ss_family);
  question.request.sdiag_protocol = IPPROTO_TCP;
  question.request.idiag_states = ~0U;
  inet_diag_sockid& id = question.request.id;
  id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  // The peer's socket: its own end is the peer's address, ours its remote.
  if (peer.address.ss_family == AF_INET) {
    const auto& from = reinterpret_cast<const sockaddr_in&>(peer.address);
    const auto& to = reinterpret_cast<const sockaddr_in&>(ours.address);
    id.idiag_sport = from.sin_port;
    id.idiag_dport = to.sin_port;
    std::memcpy(id.idiag_src, &from.sin_addr, 4);
    std::memcpy(id.idiag_dst, &to.sin_addr, 4);
  } else {
    const auto& from = reinterpret_cast<const sockaddr_in6&>(peer.address);
    const auto& to = reinterpret_cast<const sockaddr_in6&>(ours.address);
    id.idiag_sport = from.sin6_port;
    id.idiag_dport = to.sin6_port;
    std::memcpy(id.idiag_src, &from.sin6_addr, 16);
    std::memcpy(id.idiag_dst, &to.sin6_addr, 16);
  }
  if (send(netlink.get(), &question, sizeof question, 0) != static_cast<ssize_t>(sizeof question)) return std::nullopt;
  alignas(nlmsghdr) std::array<char, 1024> answer{};
  const ssize_t got = recv(netlink.get(), answer.data(), answer.size(), 0);
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer.data());
  if (got < static_cast<ssize_t>(sizeof(nlmsghdr)) || !NLMSG_OK(header, static_cast<unsigned>(got))) return std::nullopt;
  if (header->nlmsg_type == NLMSG_ERROR) {
    // No such socket (gone already) is an answer; anything else is not.
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
    answered = header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == -ENOENT;
    return std::nullopt;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    return std::nullopt;
  }
  answered = true;
  return static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
}

std::optional<uid_t> loopbackPeerUser(const Endpoint& ours, const Endpoint& peer) {
  bool answered = false;
  const std::optional<uid_t> user = askedPeerUser(ours, peer, answered);
  return answered ? user : scannedPeerUser(ours, peer);
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* user = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &user) == 0 && user != nullptr) return user->pw_name;
  return std::to_string(uid);
}

// What the connection says of its peer, and for a loopback connection the
// two ends to look its user up by.
struct Connection {
  Peer peer;
  Endpoint ours, theirs;
  bool userLooked = false;
};

Connection lookUp(int fd) {
  Connection connection;
  Peer& peer = connection.peer;
  Endpoint& ours = connection.ours;
  Endpoint& theirs = connection.theirs;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours.address), &ours.length) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs.address), &theirs.length) != 0) {
    connection.userLooked = true;
    return connection;
  }
  if (theirs.address.ss_family == AF_LOCAL) {
    peer.kind = Peer::Kind::ControlSocket;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) peer.uid = credentials.uid;
    connection.userLooked = true;
  } else if (unmap(ours), unmap(theirs); isLoopback(theirs)) {
    peer.kind = Peer::Kind::ThisMachine;
  } else {
    peer.kind = theirs.address.ss_family == AF_INET || theirs.address.ss_family == AF_INET6 ? Peer::Kind::OtherHost
                                                                                            : Peer::Kind::Unknown;
    peer.name = addressText(theirs);
    connection.userLooked = true;
  }
  return connection;
}

}  // namespace

const Peer& clientPeer(pappl_client_t* client, bool withUser) {
  // The connection this thread serves; a new connection is a new thread.
  thread_local pappl_client_t* known = nullptr;
  thread_local int knownFd = -1;
  thread_local Connection connection;
  const int fd = httpGetFd(papplClientGetHTTP(client));
  if (client != known || fd != knownFd) {
    connection = lookUp(fd);
    known = client;
    knownFd = fd;
  }
  if (withUser && !connection.userLooked) {
    connection.userLooked = true;
    connection.peer.uid = loopbackPeerUser(connection.ours, connection.theirs);
  }
  if (connection.peer.uid && connection.peer.name.empty()) connection.peer.name = userName(*connection.peer.uid);
  return connection.peer;
}

std::string connectionPeer(int fd) {
  Connection connection = lookUp(fd);
  const Peer& peer = connection.peer;
  switch (peer.kind) {
    case Peer::Kind::ControlSocket:
      return "";
    case Peer::Kind::ThisMachine: {
      const std::optional<uid_t> uid = loopbackPeerUser(connection.ours, connection.theirs);
      return uid ? "user " + std::to_string(*uid) : "user ?";
    }
    default:
      return "host " + peer.name;
  }
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
