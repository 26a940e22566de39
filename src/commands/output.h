// Standard output is the printer's data stream. Every byte for it goes
// through here, never through stdio's stdout, so that a write error (a full
// disk, a printer connection that went away) is remembered with its reason
// and the job can report it instead of claiming success.
#pragma once

#include <cstddef>

// Writes `size` bytes to the printer stream, which is buffered here (not by
// stdio) and waits for a non-blocking standard output that is full. Returns
// 0, or 1 when a write has failed.
int writeOutput(const void* data, size_t size);

// Flushes standard output. Returns 0, or 1 when a write failed now or before.
int flushOutput();

// Flushes standard output and tells whether any write to it has failed.
bool outputFailed();

// The errno of the first failed write (EIO when the system gave none).
int outputErrorNumber();

// Pushes the buffered trace and message lines on standard error to the
// scheduler; write errors there are of no consequence to the job.
void flushTrace();
