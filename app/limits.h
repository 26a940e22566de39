// The limits of one job, from the server options, and PAPPL bound by them.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "peer.h"

// Reads the limits from the server options and bounds the app by them;
// false, with a message, for a bad value or a PAPPL this build cannot bound.
bool setUpLimits(int numOptions, cups_option_t* options);
// Sets the limits PAPPL keeps for the system and each printer, which it
// also sets again from its state file.
void applyLimits(pappl_system_t* system);
// Sets a new printer's job limit.
void limitPrinter(pappl_printer_t* printer);
// Whether `client` may add a job to `printer` (Print-Job, Create-Job) or
// send a document (Print-Job, Send-Document), in the client's thread
// before PAPPL acts: one owner (a user; for a client on another host, that
// host) holds at most max-jobs-per-user of a printer's jobs, administrators
// aside, and no document arrives while the spool holds max-spool-size.
// When not, the client has been answered, server-error-busy.
bool admitJob(pappl_client_t* client, pappl_printer_t* printer, ipp_op_t op, const Peer& peer,
              const std::string& owner, bool administrator);
