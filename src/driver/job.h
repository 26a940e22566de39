// The filter's job flow: arguments, input, settings, status, then either the
// text pass-through or the raster page loop, and the exit status.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>

#include "settings/settings.h"

// Set by CancelJob on SIGTERM; the page loop tests it between pages.
extern volatile std::sig_atomic_t Canceled;

void CancelJob(int signalNumber);

// Copies the print file behind `fd` to standard output unchanged, after the
// bytes `head` already read from it, and ends it with CR LF. Returns 0, or 1
// when the file could not be read (after an "ERROR: " line).
int printText(int fd, std::span<const unsigned char> head = {});

// Fills the settings' lengthDot and widthDot: the label length and width in
// dots, from the custom size or the standard size index.
void fillLabelSize(settings_t& settings);

// Runs one job as CUPS starts the filter; returns the exit status.
int filterMain(int argc, char* argv[]);
