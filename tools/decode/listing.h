// What tmk-decode shows of a captured printer stream.
#pragma once

#include <string_view>

// Lists the stream's commands on standard output, one per line (bytes that
// are no text as \xNN), the image commands with their fields, and a line per
// page; with `pbmPrefix`, page N also goes to PREFIX-N.pbm. Each problem is
// an "ERROR: " line on standard error, in its place. Returns 0 when the
// stream was read whole without a problem, else 1.
int listStream(std::string_view stream, const char* pbmPrefix);
