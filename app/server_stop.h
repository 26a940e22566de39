// The end of the server on SIGTERM (a stop of the service) or SIGINT
// (Ctrl-C): within a second, whatever the printers do.
//
// PAPPL 1.3.1 waits up to 60 s on SIGTERM while any printer has a job,
// waiting or held ones too, and a job held by a printer that has stopped
// reading never ends: the service was killed at its stop timeout, its
// state unsaved. Here the state is saved a last time, the job in progress
// kept in it (it prints again from its start after the restart, as CUPS
// does with a job a stop cut short), the jobs' processes are ended and the
// server leaves; its connections, a stalled printer's among them, close
// with it.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

// Blocks SIGTERM and SIGINT in this thread and every thread made after it,
// so that only the stop's own thread takes them: called by the server
// before it makes any thread.
void blockStopSignals();

// Starts the thread that ends the server: it saves the state, ends every
// process the jobs started and removes the control sockets `sockets`.
// False when no thread could be made.
bool startStopWatch(pappl_system_t* system, std::vector<std::string> sockets);
