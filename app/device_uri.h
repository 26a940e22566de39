// The device URIs a printer may print to: network printers and USB
// printers, nothing else. Whoever adds a printer chooses its device, and
// every job of that printer is written there.
#pragma once

#include <string>
#include <string_view>

// Empty when `uri` names a printer, else why not. Allowed are
//   socket://HOST[:PORT][/]  HOST a DNS name, an IPv4 address or a bracketed
//                            IPv6 address; no user, no %, no path, no query;
//                            never `ownPort` (the server's own, when not 0);
//   usb://MAKE/MODEL[?serial=SERIAL]  as PAPPL lists USB printers.
// A file: device would let whoever adds a printer write to any file of the
// app's, a socket:// host that starts with "/" (percent-encoded) reaches a
// local socket, the app's control socket among them.
std::string deviceUriRefusal(std::string_view uri, int ownPort = 0);
