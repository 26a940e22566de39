// PAPPL 1.3.1 takes any Host: that starts with a digit or ends in ".local",
// so a web page whose name its owner points at 127.0.0.1 (DNS rebinding)
// reads the app's pages and posts its forms with its visitor's rights. Its
// form token is the same for every user of a host, and it does not look at
// Origin or Referer, so any page could post a token a local user read.
// Here, in the thread of the client's connection:
// - the headers of each request are checked as soon as libcups has read
//   them: a foreign Host:, and for a POST a foreign Origin or Referer, end
//   the request with 400 Bad Request before PAPPL acts on it;
// - a form token is made for one local administrator (the kernel's uid of
//   the connection) and no one else gets one;
// - a form is taken from the local administrators only, and never with a
//   control character in a value (values end up in the state file).
#include "web_guard.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <pappl/pappl.h>

#include "access.h"
#include "interpose.h"
#include "peer.h"
#include "request_guard.h"

namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The machine's addresses, as the interfaces have them now (read again at
// most every few seconds: addresses come and go).
class LocalAddresses {
 public:
  bool holds(const in6_addr& wanted) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_) {
      next_ = now + std::chrono::seconds(2);
      addresses_.clear();
      ifaddrs* list = nullptr;
      if (getifaddrs(&list) == 0) {
        for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
          if (entry->ifa_addr != nullptr) addresses_.push_back(asSix(*entry->ifa_addr));
        }
        freeifaddrs(list);
      }
    }
    return std::any_of(addresses_.begin(), addresses_.end(),
                       [&](const in6_addr& a) { return std::memcmp(&a, &wanted, sizeof a) == 0; });
  }

  // IPv4 as IPv4-mapped IPv6, so that one comparison does for both.
  static in6_addr asSix(const sockaddr& address) {
    in6_addr six{};
    if (address.sa_family == AF_INET6) {
      six = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    } else if (address.sa_family == AF_INET) {
      six.s6_addr[10] = six.s6_addr[11] = 0xff;
      std::memcpy(six.s6_addr + 12, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    }
    return six;
  }

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point next_{};
  std::vector<in6_addr> addresses_;
};

LocalAddresses& localAddresses() {
  static auto* addresses = new LocalAddresses;
  return *addresses;
}

bool isOwnAddress(std::string_view text, bool six) {
  std::array<char, INET6_ADDRSTRLEN + 1> copy{};
  if (text.size() >= copy.size()) return false;
  text.copy(copy.data(), text.size());
  sockaddr_storage address{};
  if (six) {
    auto& in = reinterpret_cast<sockaddr_in6&>(address);
    in.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, copy.data(), &in.sin6_addr) != 1) return false;
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    if (inet_pton(AF_INET, copy.data(), &in.sin_addr) != 1) return false;
  }
  const in6_addr wanted = LocalAddresses::asSix(reinterpret_cast<const sockaddr&>(address));
  if (IN6_IS_ADDR_LOOPBACK(&wanted) || (IN6_IS_ADDR_V4MAPPED(&wanted) && wanted.s6_addr[12] == 127)) return true;
  return gAccessPolicy.shared && localAddresses().holds(wanted);
}

// The machine's names when the printers are shared: its host name, that
// name in .local (DNS-SD) and its canonical name in DNS, looked up once.
const std::vector<std::string>& machineNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> found;
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0) return found;
    const std::string machine = lowered(buffer.data());
    const std::string shortName = machine.substr(0, machine.find('.'));
    found = {machine, shortName, shortName + ".local"};
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    if (getaddrinfo(machine.c_str(), nullptr, &hints, &list) == 0) {
      if (list != nullptr && list->ai_canonname != nullptr) found.push_back(lowered(list->ai_canonname));
      freeaddrinfo(list);
    }
    return found;
  }();
  return names;
}

bool isOwnName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  const std::string wanted = lowered(name);
  if (wanted.empty()) return false;
  if (wanted == "localhost") return true;
  std::array<char, 256> buffer{};
  if (gAccessPolicy.system != nullptr && papplSystemGetHostName(gAccessPolicy.system, buffer.data(), buffer.size()) != nullptr) {
    std::string_view configured = buffer.data();
    if (!configured.empty() && configured.back() == '.') configured.remove_suffix(1);
    if (wanted == lowered(configured)) return true;
  }
  if (!gAccessPolicy.shared) return false;
  if (wanted == lowered(gAccessPolicy.listenName)) return true;
  const auto& names = machineNames();
  return std::find(names.begin(), names.end(), wanted) != names.end();
}

// The host and the port of "HOST[:PORT]" or "[ADDRESS][:PORT]"; false when
// it is neither.
bool splitHost(std::string_view value, std::string_view& host, bool& bracketed) {
  std::string_view port;
  bracketed = !value.empty() && value.front() == '[';
  if (bracketed) {
    const size_t close = value.find(']');
    if (close == std::string_view::npos) return false;
    host = value.substr(1, close - 1);
    const std::string_view after = value.substr(close + 1);
    if (!after.empty() && after.front() != ':') return false;
    if (!after.empty()) port = after.substr(1);
    if (after == ":") return false;
  } else {
    const size_t colon = value.find(':');
    host = value.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = value.substr(colon + 1);
      if (port.empty()) return false;
    }
  }
  return port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `url` (an Origin or a Referer) is of the site the request names
// in Host:.
bool isSameSite(std::string_view url, std::string_view hostHeader) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!url.starts_with(scheme)) continue;
    url.remove_prefix(scheme.size());
    return lowered(url.substr(0, url.find_first_of("/?#"))) == lowered(hostHeader);
  }
  return false;
}

// The request whose headers this thread reads: its connection and method.
thread_local http_t* tReading = nullptr;
thread_local http_state_t tMethod = HTTP_STATE_WAITING;

const char* headerRefusal(http_t* http) {
  const std::string_view host = httpGetField(http, HTTP_FIELD_HOST);
  if (!isOwnHost(host)) return "Host: is not a name of this server";
  if (tMethod != HTTP_STATE_POST) return nullptr;
  // Browsers send Origin with every POST, or at least Referer; other
  // clients neither.
  const std::string_view origin = httpGetField(http, HTTP_FIELD_ORIGIN);
  const std::string_view referer = httpGetField(http, HTTP_FIELD_REFERER);
  if (!origin.empty() && !isSameSite(origin, host)) return "the form comes from another site (Origin:)";
  if (origin.empty() && !referer.empty() && !isSameSite(referer, host)) return "the form comes from another site (Referer:)";
  return nullptr;
}

}  // namespace

bool isOwnHost(std::string_view value) {
  // HTTP/1.0 without Host: PAPPL's own check lets it through; browsers
  // always send one.
  if (value.empty()) return true;
  std::string_view host;
  bool bracketed = false;
  if (!splitHost(value, host, bracketed)) return false;
  if (bracketed) return isOwnAddress(host, true);
  if (!host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
    return isOwnAddress(host, false);
  }
  return isOwnName(host);
}

// libcups reads a request's line here, in the client's thread: only
// servers call it, so the headers read next are a client's.
extern "C" http_state_t httpReadRequest(http_t* http, char* uri, size_t urilen) {
  static const auto read = theirs<decltype(&httpReadRequest)>("httpReadRequest");
  const http_state_t state = read(http, uri, urilen);
  tReading = http;
  tMethod = state;
  return state;
}

// PAPPL reads a request's headers with this until it is no longer
// HTTP_STATUS_CONTINUE, then answers anything but HTTP_STATUS_OK with 400
// Bad Request and closes the connection.
extern "C" http_status_t httpUpdate(http_t* http) {
  static const auto update = theirs<decltype(&httpUpdate)>("httpUpdate");
  const http_status_t status = update(http);
  if (status == HTTP_STATUS_CONTINUE || http != tReading) return status;
  tReading = nullptr;
  if (status != HTTP_STATUS_OK) return status;
  if (const char* why = headerRefusal(http)) {
    if (gAccessPolicy.system != nullptr) {
      std::array<char, 256> address{};
      httpGetHostname(http, address.data(), static_cast<int>(address.size()));
      papplLog(gAccessPolicy.system, PAPPL_LOGLEVEL_WARN, "Refused a request from %s: %s.", address.data(), why);
    }
    return HTTP_STATUS_BAD_REQUEST;
  }
  return status;
}

// PAPPL puts this token into every form of its pages and compares a
// posted form's with it. It is made from the session key and the local
// user's uid, so that a token read by one user is worth nothing posted by
// another; a client that may not post forms gets none.
extern "C" char* papplClientGetCSRFToken(pappl_client_t* client, char* buffer, size_t bufsize) {
  if (client == nullptr || buffer == nullptr || bufsize == 0) return nullptr;
  *buffer = '\0';
  const Peer& peer = clientPeer(client);
  if (!peer.uid || !isAdministrator(client)) return buffer;
  std::array<char, 65> key{};
  papplSystemGetSessionKey(papplClientGetSystem(client), key.data(), key.size());
  const std::string data = std::string(key.data()) + ":uid:" + std::to_string(*peer.uid);
  std::array<unsigned char, 32> sum{};
  if (cupsHashData("sha2-256", data.data(), data.size(), sum.data(), sum.size()) < 0) return buffer;
  cupsHashString(sum.data(), sum.size(), buffer, bufsize);
  return buffer;
}

// Every form the web pages take changes the system or a printer, so it is
// taken from the local administrators only (PAPPL 1.3.1's own printer page
// held new jobs, paused the printer or printed a test page for anyone who
// reached it). A job a form makes (the test page) is that user's.
extern "C" bool papplClientIsValidForm(pappl_client_t* client, int numForm, cups_option_t* form) {
  static const auto pappl = theirs<bool (*)(pappl_client_t*, int, cups_option_t*)>("papplClientIsValidForm");
  if (papplClientIsAuthorized(client) != HTTP_STATUS_CONTINUE) return false;
  for (int i = 0; i < numForm; ++i) {
    if (hasControlCharacter(form[i].name) || hasControlCharacter(form[i].value)) {
      papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused a form: the value of '%s' holds a control character.",
                     hasControlCharacter(form[i].name) ? "?" : form[i].name);
      return false;
    }
  }
  papplClientSetUsername(client, clientPeer(client).name.c_str());
  return pappl != nullptr && pappl(client, numForm, form);
}

bool webGuarded() {
  return ours("papplClientIsValidForm", reinterpret_cast<void*>(&papplClientIsValidForm)) &&
         ours("papplClientGetCSRFToken", reinterpret_cast<void*>(&papplClientGetCSRFToken)) &&
         ours("httpReadRequest", reinterpret_cast<void*>(&httpReadRequest)) &&
         ours("httpUpdate", reinterpret_cast<void*>(&httpUpdate));
}
