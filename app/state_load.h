// The server's state file read back. PAPPL 1.3.1 writes a job's name and
// its owner's between quotes, escaping only \ and ", and reads the file a
// line at a time, each line a directive: a name that held a line break
// (CR or LF) wrote lines of its own ("AdminGroup users", "<Printer ...>"),
// and a line longer than PAPPL reads was read as two.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <string_view>
#include <vector>

// `text` with every value PAPPL quoted whole again: a line break inside
// quotes becomes a space, so an injected line is part of the name it came
// in; a record PAPPL would cut (2047 bytes and more) is left out, a
// printer's with its whole block. What was changed, line by line, goes to
// `notes`. A job that was printing when the server ended (a stop, a crash)
// is waiting again, counted in `resumed`: PAPPL would never print it, and
// wait for it at every stop.
std::string repairedState(std::string_view text, std::vector<std::string>& notes, int& resumed);

// Loads `file` into `system` as PAPPL does, repaired first when it needs
// it (the repaired file replaces it), its jobs in progress waiting again. False, with the reason in the log,
// when it needs repair and cannot be repaired: loaded as it is it would
// give its lines' directives, left out the next save would drop it.
bool loadState(pappl_system_t* system, const std::string& file);
