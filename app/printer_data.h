// What the app keeps with each printer, in PAPPL's driver data: the
// driver's record, so that no job looks it up by name, and the printer's
// status poll.
#pragma once

#include <pappl/pappl.h>

#include "drivers.h"
#include "status_poll.h"

struct PrinterData {
  explicit PrinterData(const DriverInfo& info) : driver(info) {}
  const DriverInfo& driver;
  StatusPoll poll;
};

// The printer's data, made by the driver callback; null for a printer that
// has none.
PrinterData* printerData(pappl_printer_t* printer);
// A job's driver; null, logged in the job, when the printer has none.
const DriverInfo* jobDriver(pappl_job_t* job);

// Puts the data into a new printer's driver data (PAPPL calls the driver
// callback once per printer); and its release, PAPPL's delete callback.
void keepPrinterData(pappl_pr_driver_data_t& data, const DriverInfo& driver);
void deletePrinterData(pappl_printer_t* printer, pappl_pr_driver_data_t* data);
