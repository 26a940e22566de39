// The app's own web pages and words.
#pragma once

#include <pappl/pappl.h>

// The "Add Printer" web page; `data` is the system.
bool addPrinterPage(pappl_client_t* client, void* data);
// Readable names for the vendor attributes and their values on PAPPL's pages.
void addWebStrings(pappl_system_t* system);
// The "Labels" pages of `printer`: its recent jobs' labels as the printer
// got them, and each label whole.
void addLabelsPages(pappl_printer_t* printer);
// The "Device" pages of `printer`: its device URI, darkness level and
// tear-off offset, and the page that changes the last two.
void addDevicePages(pappl_printer_t* printer);
