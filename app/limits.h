// The limits of one job, from the server options, and PAPPL bound by them.
#pragma once

#include <pappl/pappl.h>

// Reads the limits from the server options and bounds the app by them;
// false, with a message, for a bad value or a PAPPL this build cannot bound.
bool setUpLimits(int numOptions, cups_option_t* options);
// Sets the limits PAPPL keeps for the system and each printer, which it
// also sets again from its state file.
void applyLimits(pappl_system_t* system);
// Sets a new printer's job limit.
void limitPrinter(pappl_printer_t* printer);
