// What a browser may make the app do: requests that name the app by one of
// its own names, forms posted from its own pages, by the user the form was
// given to.
#pragma once

#include <string_view>

// Whether `host` (a Host: header's value, port and all) names this app:
// localhost, a loopback address, the configured host name, and when the
// printers are shared the machine's own names and addresses. A name that
// an attacker's DNS points at 127.0.0.1 is none of them.
bool isOwnHost(std::string_view host);

// Whether this build's guards of the web pages are the functions PAPPL
// calls; the server does not start without them.
bool webGuarded();
