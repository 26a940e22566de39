// Connections to socket:// printers: the app's own, over which the status
// query asks, and the one of PAPPL's device, which the deadline of a
// canceled job cuts when the printer has stopped reading.
#pragma once

#include <pappl/pappl.h>

#include "spawn.h"

// The app's own connection to a socket:// printer, or an invalid one when
// it cannot be reached or `stop` is set meanwhile (libcups' cancel flag:
// set it through std::atomic_ref).
Fd connectToPrinter(pappl_printer_t* printer, const char* uri, int* stop);
// Cuts the connection of a socket:// printer's device, so that a write that
// waits on a printer that has stopped reading fails; what is left unsent is
// dropped. The device's descriptor, or -1 when it is not one that can be cut.
int cutPrinterConnection(pappl_printer_t* printer, pappl_device_t* device);
// Puts a new connection behind the descriptor of a device cut so, as PAPPL
// keeps a device open for the printer's next job.
void renewPrinterConnection(pappl_printer_t* printer, int cut);
