// The printer's status: the query over the back channel and the
// printer-state reasons it sets or clears.
#pragma once

#include <cstdint>

// Sends the status request, waits a bounded time for the status byte and
// reports the printer's six error conditions.
void getPrinterStatus(int32_t modelNumber);

// With the status check off: clears the printer-state reasons of the model's
// status layout.
void clearPrinterStatus(int32_t modelNumber);
