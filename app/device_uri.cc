#include "device_uri.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr std::string_view kOnlyPrinters =
    "only network printers (socket://HOST[:PORT]) and USB printers (usb://...) can be used";
constexpr std::string_view kNetworkForm =
    "a network printer is socket://HOST[:PORT], a host name or address and a port, nothing else";
constexpr std::string_view kUsbForm = "a USB printer is usb://MAKE/MODEL[?serial=NUMBER], as the list of USB printers gives it";

bool isAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Letters, digits and hyphens in labels of 1 to 63, at most 253 in all; a
// trailing dot is the root.
bool isDnsName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t end = std::min(name.find('.', start), name.size());
    const std::string_view label = name.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
        !std::all_of(label.begin(), label.end(), [](char c) { return isAlnum(c) || c == '-'; })) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

template <int Family>
bool isAddress(std::string_view text) {
  std::array<char, 64> copy{};
  std::array<unsigned char, 16> address{};
  if (text.empty() || text.size() >= copy.size()) return false;
  text.copy(copy.data(), text.size());
  return inet_pton(Family, copy.data(), address.data()) == 1;
}

// 1 to 65535, digits only; 0 when not a port.
int portNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}

std::string socketRefusal(std::string_view rest, int ownPort) {
  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos && rest.substr(slash) != "/") return std::string(kNetworkForm);
  std::string_view host = authority, port = "9100";
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::string(kNetworkForm);
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::string(kNetworkForm);
    if (!after.empty()) port = after.substr(1);
    if (!isAddress<AF_INET6>(host)) return std::string(kNetworkForm);
  } else {
    if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
    // A name of digits and dots is an IPv4 address, whole.
    const bool numeric = std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (numeric ? !isAddress<AF_INET>(host) : !isDnsName(host)) return std::string(kNetworkForm);
  }
  const int number = portNumber(port);
  if (number == 0) return std::string(kNetworkForm);
  if (number == ownPort) return "port " + std::to_string(number) + " is this server's own";
  return "";
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What PAPPL writes into a USB printer's URI: the make and the model from
// the printer's device ID, percent-encoded, and its serial number.
bool isUsbText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      // An encoded byte, never a control character nor one that would end
      // or divide the part.
      const int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
      const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
      const int byte = high * 16 + low;
      if (low < 0 || byte < 0x20 || byte == 0x7f || byte == '/' || byte == '%' || byte == '?' || byte == '#') {
        return false;
      }
      i += 2;
    } else if (c <= 0x20 || c >= 0x7f || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\') {
      return false;
    }
  }
  return !text.empty() && text != "." && text != "..";
}

std::string usbRefusal(std::string_view rest) {
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::string(kUsbForm);
  const std::string_view make = rest.substr(0, slash);
  std::string_view model = rest.substr(slash + 1), serial;
  if (const size_t query = model.find('?'); query != std::string_view::npos) {
    serial = model.substr(query + 1);
    model = model.substr(0, query);
    if (!serial.starts_with("serial=")) return std::string(kUsbForm);
    serial.remove_prefix(7);
    if (!isUsbText(serial)) return std::string(kUsbForm);
  }
  if (make.find(':') != std::string_view::npos || !isUsbText(make) || !isUsbText(model)) return std::string(kUsbForm);
  return "";
}

}  // namespace

std::string deviceUriRefusal(std::string_view uri, int ownPort) {
  if (uri.starts_with("socket://")) return socketRefusal(uri.substr(9), ownPort);
  if (uri.starts_with("usb://")) return usbRefusal(uri.substr(6));
  return std::string(kOnlyPrinters);
}
