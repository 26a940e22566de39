// How many connections one peer holds. PAPPL 1.3.1 takes clients until it
// has max-clients, then takes none, on its control socket neither, until
// one goes; each client may hold its place for 30 s at a time with a byte
// now and then. So one local process or host with a hundred idle
// connections kept everyone out, the command line included.
#pragma once

// Whether this build's bounds are the functions PAPPL calls; the server does
// not start without them.
bool connectionsLimited();
