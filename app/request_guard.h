// Every IPP request, from every door (a client on the network, the web
// pages' own requests, the command line on the control socket), before
// PAPPL acts on it.
#pragma once

// Whether this build's guards are the functions PAPPL calls; the server
// does not start without them.
bool requestsGuarded();
