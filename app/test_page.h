// The label that "Print Test Page" on a printer's web page prints: drawn by
// the app for the printer's loaded label and its settings, and printed
// through the filter as a PWG raster document like any client's.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

// PAPPL's test page callback: writes the label to a PWG raster file in the
// app's own temporary folder, which PAPPL removes once the job has ended,
// and returns its name in `buffer`; null, logged, when it cannot.
const char* makeTestPage(pappl_printer_t* printer, char* buffer, size_t bufferSize);
