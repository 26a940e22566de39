#include "printer_data.h"

#include <memory>

PrinterData* printerData(pappl_printer_t* printer) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<PrinterData*>(data.extension);
}

const DriverInfo* jobDriver(pappl_job_t* job) {
  const PrinterData* data = printerData(papplJobGetPrinter(job));
  if (data == nullptr) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer's driver is unknown.");
  return data != nullptr ? &data->driver : nullptr;
}

void keepPrinterData(pappl_pr_driver_data_t& data, const DriverInfo& driver) {
  data.extension = new PrinterData(driver);
  data.delete_cb = deletePrinterData;
}

void deletePrinterData(pappl_printer_t* /*printer*/, pappl_pr_driver_data_t* data) {
  std::unique_ptr<PrinterData> owned(static_cast<PrinterData*>(data->extension));
  data->extension = nullptr;
}
