// The printers of the system, one after the other, for threads of the
// app's own.
#pragma once

#include <pappl/pappl.h>

#include <vector>

// Calls `work` with each printer of `system`, the system's lock not held:
// PAPPL takes a printer's lock, then the system's, as it aborts a job, so a
// thread that waits for a printer's lock while it holds the system's can
// wait for good. A printer deleted meanwhile is left out.
template <typename Work>
void forEachPrinter(pappl_system_t* system, Work work) {
  std::vector<int> ids;
  papplSystemIteratePrinters(
      system,
      [](pappl_printer_t* printer, void* list) {
        static_cast<std::vector<int>*>(list)->push_back(papplPrinterGetID(printer));
      },
      &ids);
  for (const int id : ids) {
    if (pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr)) work(printer);
  }
}
