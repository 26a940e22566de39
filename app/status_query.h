// Asks a printer for its status byte through the filter's status query.
#pragma once

#include <pappl/pappl.h>

#include <optional>

#include "drivers.h"

// Sets the printer-state reasons the printer reports; returns at once when a
// job has the printer, and gives way to a job that comes meanwhile. A
// socket:// printer is asked over a connection of the app's own, so that no
// job ever waits for the query; it stops waiting for the printer once
// `stop` is set (by another thread, through std::atomic_ref). Whether the
// printer answered; nothing when it was not asked to the end (a job came
// first).
std::optional<bool> queryPrinterStatus(pappl_printer_t* printer, const DriverInfo& driver, int& stop);
