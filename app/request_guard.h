// Every IPP request, from every door (a client on the network, the web
// pages' own requests, the command line on the control socket), before
// PAPPL acts on it.
#pragma once

#include <string_view>

// Whether `text` holds a C0 control character or DEL, which no name or
// text the app takes may: it writes them into its state file and its log.
bool hasControlCharacter(std::string_view text);

// Whether this build's guards are the functions PAPPL calls; the server
// does not start without them.
bool requestsGuarded();
