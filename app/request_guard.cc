// PAPPL 1.3.1 dispatches every IPP request, once it has found its printer
// and job, to one of three functions, in the thread of the client's
// connection; the app's definitions come first (interpose.h) and check the
// request before PAPPL's own act on it:
// - no name or text of a request holds a control character or is longer
//   than IPP allows: PAPPL writes job and user names into its state file
//   between quotes, escaping only \ and ", and reads each line back as a
//   directive, so a job named "x\nAdminGroup users" made its owners
//   administrators after the next start;
// - a job's owner is the user the kernel names for a local client, the
//   name it gives only for a client on another host, whose address the job
//   keeps (job-originating-host-name);
// - what changes a printer is administration; PAPPL asks only the print
//   group for Disable-Printer, Enable-Printer, Identify-Printer and for
//   Cancel-Current-Job, whoever's the job;
// - a new job or document must fit the limits of one owner and of the spool.
// A job's private values (its name, its owner's name and host) are shown to
// its owner and the administrators only, as CUPS shows them.
#include "request_guard.h"

#include <pappl/pappl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"
#include "interpose.h"
#include "limits.h"
#include "peer.h"

namespace {

// The longest value of each string type, as IPP has it.
size_t longest(ipp_tag_t tag) {
  switch (tag) {
    case IPP_TAG_TEXT:
    case IPP_TAG_TEXTLANG:
    case IPP_TAG_URI:
      return 1023;
    case IPP_TAG_CHARSET:
    case IPP_TAG_LANGUAGE:
      return 63;
    case IPP_TAG_NAME:
    case IPP_TAG_NAMELANG:
    case IPP_TAG_KEYWORD:
    case IPP_TAG_URISCHEME:
    case IPP_TAG_MIMETYPE:
    case IPP_TAG_MEMBERNAME:
    case IPP_TAG_RESERVED_STRING:
      return 255;
    default:
      return 0;  // not a string of characters
  }
}

struct Flaw {
  ipp_status_t status;
  std::string message;
};

std::optional<Flaw> flawIn(ipp_t* ipp, int depth = 0) {
  for (ipp_attribute_t* attr = ippFirstAttribute(ipp); attr != nullptr; attr = ippNextAttribute(ipp)) {
    const char* name = ippGetName(attr);
    if (name == nullptr) continue;  // a separator
    if (hasControlCharacter(name)) return Flaw{IPP_STATUS_ERROR_BAD_REQUEST, "An attribute's name holds a control character."};
    const ipp_tag_t tag = ippGetValueTag(attr);
    const int count = ippGetCount(attr);
    if (tag == IPP_TAG_BEGIN_COLLECTION) {
      // Nested no deeper than libcups reads them.
      for (int i = 0; i < count && depth < 16; ++i) {
        if (auto flaw = flawIn(ippGetCollection(attr, i), depth + 1)) return flaw;
      }
      continue;
    }
    const size_t most = longest(tag);
    if (most == 0) continue;
    for (int i = 0; i < count; ++i) {
      const std::string_view value = ippGetString(attr, i, nullptr) != nullptr ? ippGetString(attr, i, nullptr) : "";
      if (hasControlCharacter(value)) {
        return Flaw{IPP_STATUS_ERROR_BAD_REQUEST, std::string("The value of \"") + name + "\" holds a control character."};
      }
      if (value.size() > most) {
        return Flaw{IPP_STATUS_ERROR_REQUEST_VALUE, std::string("The value of \"") + name + "\" is longer than " +
                                                        std::to_string(most) + " bytes."};
      }
    }
  }
  return std::nullopt;
}

void removeAll(ipp_t* request, const char* name) {
  while (ipp_attribute_t* attr = ippFindAttribute(request, name, IPP_TAG_ZERO)) ippDeleteAttribute(request, attr);
}

// Who owns the jobs this request makes or acts on: the kernel's user for a
// local client, whatever name it gives; the given name for another host.
// PAPPL's own checks and the jobs it makes take the client's user name
// before the request's.
std::string takeOwner(pappl_client_t* client, ipp_t* request, const Peer& peer) {
  std::string owner = peer.uid ? peer.name : "guest";
  if (peer.kind == Peer::Kind::OtherHost) {
    ipp_attribute_t* given = ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME);
    const char* name = given != nullptr ? ippGetString(given, 0, nullptr) : nullptr;
    owner = name != nullptr && *name != '\0' ? name : "guest";
  }
  papplClientSetUsername(client, owner.c_str());
  // PAPPL copies the request's job attributes into the job: these are the
  // server's to say.
  removeAll(request, "job-originating-user-name");
  removeAll(request, "job-originating-host-name");
  if (peer.kind == Peer::Kind::OtherHost) {
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-host-name", nullptr, peer.name.c_str());
  }
  return owner;
}

// Whether the client owns `job`: by name, and for a client on another host
// from that host. PAPPL calls this with the job unlocked or locked for
// reading, which papplJobGetAttribute's read lock may share.
bool ownsJob(pappl_client_t* client, pappl_job_t* job) {
  const char* owner = papplJobGetUsername(job);
  const char* user = papplClientGetUsername(client);
  if (owner == nullptr || user == nullptr || std::strcmp(owner, user) != 0) return false;
  const Peer& peer = clientPeer(client);
  if (peer.kind != Peer::Kind::OtherHost) return true;
  ipp_attribute_t* host = papplJobGetAttribute(job, "job-originating-host-name");
  const char* from = host != nullptr ? ippGetString(host, 0, nullptr) : nullptr;
  return from != nullptr && peer.name == from;
}

enum class Target { System, Printer, Job };

// What only an administrator may ask, besides what PAPPL itself keeps for
// them.
bool isAdministration(Target target, ipp_op_t op) {
  if (target == Target::Printer) {
    switch (op) {
      case IPP_OP_PAUSE_PRINTER:
      case IPP_OP_PAUSE_PRINTER_AFTER_CURRENT_JOB:
      case IPP_OP_RESUME_PRINTER:
      case IPP_OP_ENABLE_PRINTER:
      case IPP_OP_DISABLE_PRINTER:
      case IPP_OP_IDENTIFY_PRINTER:
      case IPP_OP_HOLD_NEW_JOBS:
      case IPP_OP_RELEASE_HELD_NEW_JOBS:
      case IPP_OP_SET_PRINTER_ATTRIBUTES:
      case IPP_OP_CANCEL_JOBS:
      case IPP_OP_CANCEL_MY_JOBS:  // PAPPL cancels every job for it
        return true;
      default:
        return false;
    }
  }
  if (target == Target::System) {
    switch (op) {
      case IPP_OP_GET_PRINTERS:
      case IPP_OP_CUPS_GET_PRINTERS:
      case IPP_OP_GET_PRINTER_ATTRIBUTES:
      case IPP_OP_CUPS_GET_DEFAULT:
      case IPP_OP_GET_SYSTEM_ATTRIBUTES:
      case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
      case IPP_OP_GET_SUBSCRIPTIONS:
      case IPP_OP_RENEW_SUBSCRIPTION:
      case IPP_OP_CANCEL_SUBSCRIPTION:
      case IPP_OP_GET_NOTIFICATIONS:
      case IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS:
        return false;
      default:
        return true;
    }
  }
  return false;
}

// Operations that only ask how the system or a printer is.
bool isQuestion(ipp_op_t op) {
  switch (op) {
    case IPP_OP_GET_PRINTER_ATTRIBUTES:
    case IPP_OP_GET_PRINTER_SUPPORTED_VALUES:
    case IPP_OP_GET_PRINTERS:
    case IPP_OP_GET_SYSTEM_ATTRIBUTES:
    case IPP_OP_CUPS_GET_DEFAULT:
    case IPP_OP_CUPS_GET_PRINTERS:
      return true;
    default:
      return false;
  }
}

// The printer's job in progress, if any.
pappl_job_t* processingJob(pappl_printer_t* printer) {
  int id = 0;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* found) {
        if (*static_cast<int*>(found) == 0 && papplJobGetState(job) == IPP_JSTATE_PROCESSING) {
          *static_cast<int*>(found) = papplJobGetID(job);
        }
      },
      &id, 1, 0);
  return id != 0 ? papplPrinterFindJob(printer, id) : nullptr;
}

bool refuse(pappl_client_t* client) {
  const http_status_t code = papplClientIsAuthorized(client);
  if (code == HTTP_STATUS_CONTINUE) return false;
  papplClientRespond(client, code, nullptr, nullptr, 0, 0);
  return true;
}

// Whether PAPPL may act on the client's request; when not, the client has
// been answered.
bool admitted(pappl_client_t* client, Target target) {
  ipp_t* request = papplClientGetRequest(client);
  const ipp_op_t op = ippGetOperation(request);
  if (const auto flaw = flawIn(request)) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused %s: %s", ippOpString(op), flaw->message.c_str());
    papplClientRespondIPP(client, flaw->status, "%s", flaw->message.c_str());
    return false;
  }
  // Asking how things are needs no one's name (nor a look at the kernel's
  // table of connections for it).
  if (isQuestion(op)) return true;
  const Peer& peer = clientPeer(client);
  const std::string owner = takeOwner(client, request, peer);
  if (isAdministration(target, op) && refuse(client)) return false;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  // PAPPL compares only the owner's name, which another host gives itself.
  pappl_job_t* job = target == Target::Job                                      ? papplClientGetJob(client)
                     : op == IPP_OP_CANCEL_CURRENT_JOB && printer != nullptr ? processingJob(printer)
                                                                               : nullptr;
  if (job != nullptr && !isAdministrator(client) && !ownsJob(client, job) && refuse(client)) return false;
  if (printer != nullptr && (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_SEND_DOCUMENT)) {
    return admitJob(client, printer, op, peer, owner, isAdministrator(client));
  }
  return true;
}

using Dispatch = void (*)(pappl_client_t*);

}  // namespace

extern "C" void _papplSystemProcessIPP(pappl_client_t* client) {
  static const auto dispatch = theirs<Dispatch>("_papplSystemProcessIPP");
  if (admitted(client, Target::System)) dispatch(client);
}

extern "C" void _papplPrinterProcessIPP(pappl_client_t* client) {
  static const auto dispatch = theirs<Dispatch>("_papplPrinterProcessIPP");
  if (admitted(client, Target::Printer)) dispatch(client);
}

extern "C" void _papplJobProcessIPP(pappl_client_t* client) {
  static const auto dispatch = theirs<Dispatch>("_papplJobProcessIPP");
  if (admitted(client, Target::Job)) dispatch(client);
}

// The job's attributes as PAPPL adds them to a response, in the client's
// thread with the job or its printer locked: for anyone but its owner and
// the administrators without its private values.
extern "C" void _papplJobCopyAttributesNoLock(pappl_job_t* job, pappl_client_t* client, cups_array_t* ra) {
  static const auto copy = theirs<void (*)(pappl_job_t*, pappl_client_t*, cups_array_t*)>("_papplJobCopyAttributesNoLock");
  copy(job, client, ra);
  if (job == nullptr || client == nullptr || ownsJob(client, job) || isAdministrator(client)) return;
  constexpr std::array<std::string_view, 6> kPrivate = {
      "job-name",         "job-originating-user-name", "job-originating-host-name", "job-originating-user-uri",
      "document-name",    "document-name-supplied"};
  // The job's are the last group of the response.
  ipp_t* response = papplClientGetResponse(client);
  std::vector<ipp_attribute_t*> hidden;
  for (ipp_attribute_t* attr = ippFirstAttribute(response); attr != nullptr; attr = ippNextAttribute(response)) {
    const char* name = ippGetName(attr);
    if (name == nullptr) {
      hidden.clear();
    } else if (std::find(kPrivate.begin(), kPrivate.end(), name) != kPrivate.end()) {
      hidden.push_back(attr);
    }
  }
  for (ipp_attribute_t* attr : hidden) ippDeleteAttribute(response, attr);
}

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool requestsGuarded() {
  return ours("_papplSystemProcessIPP", reinterpret_cast<void*>(&_papplSystemProcessIPP)) &&
         ours("_papplPrinterProcessIPP", reinterpret_cast<void*>(&_papplPrinterProcessIPP)) &&
         ours("_papplJobProcessIPP", reinterpret_cast<void*>(&_papplJobProcessIPP)) &&
         ours("_papplJobCopyAttributesNoLock", reinterpret_cast<void*>(&_papplJobCopyAttributesNoLock));
}
