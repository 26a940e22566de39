// Who is at the other end of a client's connection, as the kernel says:
// a local user on the control socket or over loopback, or another host.
// Never what the client says of itself.
#pragma once

#include <pappl/pappl.h>
#include <sys/types.h>

#include <optional>
#include <string>

struct Peer {
  enum class Kind { ControlSocket, ThisMachine, OtherHost, Unknown };
  Kind kind = Kind::Unknown;
  // The local user (control socket, loopback), when the kernel names one.
  std::optional<uid_t> uid;
  // That user's name (the number where it has none), or the other host's
  // address.
  std::string name;
};

// The peer of `client`'s connection, its local user looked up too when
// `withUser` (a scan of the kernel's table of TCP connections for a
// loopback one). Looked up once a connection: PAPPL serves each connection
// in a thread of its own, in which every request of that connection and
// its web pages are answered.
const Peer& clientPeer(pappl_client_t* client, bool withUser = true);

// Whether `uid` is root or in the group `groupId` (its primary group or one
// of its others).
bool isMember(uid_t uid, gid_t groupId);

// Who holds the other end of the connected socket `fd`, as a key: the local
// user of a loopback connection ("user N"), the other host's address
// ("host A"); empty for the control socket.
std::string connectionPeer(int fd);
