#include "access.h"

#include <grp.h>
#include <sys/socket.h>

#include <vector>

#include "device_uri.h"
#include "interpose.h"
#include "peer.h"

AccessPolicy gAccessPolicy;

namespace {

// Membership of this thread's last asked user and group: the pages and
// requests of one connection ask many times.
bool member(uid_t uid, gid_t groupId) {
  thread_local uid_t knownUid = static_cast<uid_t>(-1);
  thread_local gid_t knownGroup = static_cast<gid_t>(-1);
  thread_local bool known = false;
  if (uid != knownUid || groupId != knownGroup) {
    known = isMember(uid, groupId);
    knownUid = uid;
    knownGroup = groupId;
  }
  return known;
}

gid_t groupId(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return static_cast<gid_t>(-1);
  }
  return found->gr_gid;
}

}  // namespace

void setAccessSystem(pappl_system_t* system) {
  gAccessPolicy.system = system;
  gAccessPolicy.port = papplSystemGetHostPort(system);
}

void applyAccessPolicy(pappl_system_t* system) {
  gAccessPolicy.adminGid = groupId(gAccessPolicy.adminGroup);
  papplSystemSetAdminGroup(system, gAccessPolicy.adminGroup.c_str());
  // PAPPL loads these from the state file, where a line can be made to
  // appear; none of them is the app's to set.
  papplSystemSetDefaultPrintGroup(system, nullptr);
  papplSystemSetPassword(system, "");
  papplSystemIteratePrinters(
      system, [](pappl_printer_t* printer, void*) { papplPrinterSetPrintGroup(printer, nullptr); }, nullptr);
}

bool isAdministrator(pappl_client_t* client) {
  if (clientPeer(client, false).kind == Peer::Kind::ControlSocket) return true;
  const Peer& peer = clientPeer(client);
  if (peer.kind == Peer::Kind::ControlSocket) return true;
  return peer.kind == Peer::Kind::ThisMachine && peer.uid && member(*peer.uid, gAccessPolicy.adminGid);
}

http_status_t authorizeClient(pappl_client_t* client, const char* group, gid_t groupId, void* policy) {
  const bool shared = static_cast<const AccessPolicy*>(policy)->shared;
  const Peer& peer = clientPeer(client, group != nullptr);
  if (peer.kind == Peer::Kind::Unknown || (peer.kind == Peer::Kind::OtherHost && !shared)) {
    return HTTP_STATUS_FORBIDDEN;
  }
  if (group == nullptr) return HTTP_STATUS_CONTINUE;
  // Administration: only from this machine, by root or a member of the group.
  if (peer.kind == Peer::Kind::OtherHost || !peer.uid || !member(*peer.uid, groupId)) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: %s needs a local administrator (root or group %s).",
                   papplClientGetURI(client), group);
    return HTTP_STATUS_FORBIDDEN;
  }
  return HTTP_STATUS_CONTINUE;
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
  if (clientPeer(client, false).kind == Peer::Kind::ControlSocket) return HTTP_STATUS_CONTINUE;
  // Without a group PAPPL still means administration when it allows no
  // client from another host.
  if (!allowRemote && group == nullptr) group = "root";
  return authorizeClient(client, group, groupId, &gAccessPolicy);
}

// Create-Printer asks PAPPL whether it knows the device URI before it makes
// the printer: a refused one is answered as an unsupported
// smi55357-device-uri there, rather than as a driver that cannot be used.
// The driver callback refuses it all the same, at every door.
extern "C" bool papplDeviceIsSupported(const char* uri) {
  static const auto pappl = theirs<bool (*)(const char*)>("papplDeviceIsSupported");
  return uri != nullptr && deviceUriRefusal(uri, gAccessPolicy.port).empty() && pappl != nullptr && pappl(uri);
}
