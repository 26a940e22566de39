// A job's IPP attributes as the filter's options string, and the vendor
// attributes that carry the printer's own settings.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "drivers.h"

// The vendor attributes, in the order of the printing defaults page.
inline constexpr const char* kPrintMethod = "label-print-method";
inline constexpr const char* kRotation = "label-rotation";
inline constexpr const char* kMarkOffset = "label-mark-offset";
inline constexpr const char* kCutPeriod = "label-cut-period";
inline constexpr const char* kCompression = "label-compression";
inline constexpr const char* kRewinder = "label-rewinder";

// The printer's darkness level, 1 to 15, for its configured darkness (0 to
// 100 %) and a job's adjustment (-100 to 100).
int darknessLevel(int configured, int adjustment);
// The print speed the printer takes, 2 to 6 inches a second, for one in
// hundredths of millimetres a second.
long speedLevel(int hundredthsPerSecond);
// A printer's default of a vendor attribute as text; empty when it has none.
std::string vendorDefault(pappl_printer_t* printer, const char* name);

// The filter's options string for a job: the PPD choices the scheduler
// would mark for the same settings.
std::string filterOptions(const DriverInfo& driver, const pappl_pr_options_t& options, pappl_job_t* job);
