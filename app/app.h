// The printer application's parts: the drivers it offers, the filter options
// a job turns into, and the filter process that prints each job.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "spawn.h"

// Where the filter, the PPDs and the prefilters that render PDF are; set
// once by the system callback before the first printer is made, read by
// every job.
struct AppPaths {
  std::string filter = TMK_APP_FILTER;
  std::string ppdDirectory = TMK_APP_PPD_DIR;
  std::string prefilterDirectory = TMK_APP_PREFILTER_DIR;
};
extern AppPaths gPaths;

// What one job may take of the host (the server options max-document-size,
// max-active-jobs and job-kill-delay); set before the first printer is made.
struct AppLimits {
  uint64_t documentBytes = uint64_t{256} << 20;  // of a document in the spool
  int activeJobs = 100;                          // a printer holds, printing or waiting
  std::chrono::seconds killDelay{30};            // a canceled job's processes get to end
};
extern AppLimits gLimits;

// An image is decoded whole: at most this many pixels a side, one byte each
// (8192 dots are 13.6 in at 600 dpi).
inline constexpr int kMaxImagePixels = 8192;
inline constexpr size_t kMaxImageBytes = size_t{kMaxImagePixels} * kMaxImagePixels;

// Reads the limits from the server options and bounds the app by them;
// false, with a message, for a bad value or a PAPPL this build cannot bound.
bool setUpLimits(int numOptions, cups_option_t* options);
// Sets the limits PAPPL keeps for the system and each printer, which it
// also sets again from its state file.
void applyLimits(pappl_system_t* system);
// Sets a new printer's job limit.
void limitPrinter(pappl_printer_t* printer);

// The printer's own format: label command files, sent through the filter.
inline constexpr const char* kLabelFormat = "application/vnd.tamrisk-label";

// Models that send the same bytes for the same job share a driver: the
// groups differ in where the mark offset goes, in the rewinder and in the
// status byte. One driver per group and resolution, as PAPPL takes a job's
// resolution from print-quality when a driver offers several.
struct DriverInfo {
  std::string name;         // e.g. "tamrisk_rewinder-203dpi"
  std::string description;  // make and model, with the group's model numbers
  std::string models;       // the group's model numbers, e.g. "142, 143, 150, 292, 293"
  int32_t ppdModel = 0;     // the model whose PPD the filter reads
  int resolution = 0;       // dots per inch
  bool rewinder = false;
};

std::span<pappl_pr_driver_t> driverTable();
const DriverInfo* driverInfo(const char* driverName);

bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);

// The standard label sizes as PWG media names, in the filter's index order.
std::span<const char* const> standardMediaNames();

// The filter's options string for a job.
std::string filterOptions(const DriverInfo& driver, const pappl_pr_options_t& options, pappl_job_t* job);

// The job callbacks: raster pages fed to the filter, raw files through it.
bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool startRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool writeRasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                     const unsigned char* line);
bool endRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool endRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
// True when the raster callbacks learn each client page's own header, and
// so can take 1-bit pages beside 8-bit ones.
bool clientPageHeadersSeen();
bool printRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// The PPD the filter reads for a driver's printers.
std::string ppdPath(const DriverInfo& driver);

// A job whose raster the app makes itself: the filter runs with `ppd` and
// `options`, and `feed` writes the raster to its standard input.
bool printFilterInput(pappl_job_t* job, pappl_device_t* device, CancelWatch& watch, const std::string& ppd,
                      const std::string& options, const std::function<bool(int input)>& feed);

// The watch that ends a job's processes once it is canceled; null, with the
// reason logged, when it cannot be started.
std::unique_ptr<CancelWatch> watchJob(pappl_job_t* job);

// A job's message from a child's line: the reason, without the server's
// paths (`document`, the job's file, is "the document"); the log keeps the
// line whole.
std::string clientMessage(std::string_view line, const char* document);

// The app's own connection to a socket:// printer, or an invalid one when
// it cannot be reached or `stop` is set meanwhile.
Fd connectToPrinter(pappl_printer_t* printer, const char* uri, const std::atomic<bool>& stop);
// Cuts the connection of a socket:// printer's device, so that a write that
// waits on a printer that has stopped reading fails; what is left unsent is
// dropped. The device's descriptor, or -1 when it is not one that can be cut.
int cutPrinterConnection(pappl_printer_t* printer, pappl_device_t* device);
// Puts a new connection behind the descriptor of a device cut so, as PAPPL
// keeps a device open for the printer's next job.
void renewPrinterConnection(pappl_printer_t* printer, int cut);

// PDF jobs, rendered by the prefilters a CUPS queue runs: PAPPL's MIME filter
// callback. True when the prefilters are there to offer PDF at all.
bool pdfPrefiltersInstalled();
bool printPdf(pappl_job_t* job, pappl_device_t* device, void* data);

// PNG and JPEG jobs: PAPPL's MIME filter callback.
bool printImage(pappl_job_t* job, pappl_device_t* device, void* data);

// The "Add Printer" web page; `data` is the system.
bool addPrinterPage(pappl_client_t* client, void* data);
// Readable names for the vendor attributes and their values on PAPPL's pages.
void addWebStrings(pappl_system_t* system);

// Asks the printer for its status byte through the filter's status query
// and sets the printer-state reasons it reports; returns at once when a job
// has the printer, and gives way to a job that comes meanwhile. A socket://
// printer is asked over a connection of the app's own, so that no job ever
// waits for the query; it stops waiting for the printer once `stop` is set.
// False when the printer did not answer.
bool queryPrinterStatus(pappl_printer_t* printer, const std::atomic<bool>& stop);

// PAPPL's status callback: the printer-state reasons as the last query left
// them, a new query started in the background. Never waits for the printer.
bool statusCallback(pappl_printer_t* printer);
// What a printer keeps for its queries, and its release.
void* newStatusPoll();
void deleteStatusPoll(pappl_printer_t* printer, pappl_pr_driver_data_t* data);

// The vendor attributes, in the order of the printing defaults page.
inline constexpr const char* kPrintMethod = "label-print-method";
inline constexpr const char* kRotation = "label-rotation";
inline constexpr const char* kMarkOffset = "label-mark-offset";
inline constexpr const char* kCutPeriod = "label-cut-period";
inline constexpr const char* kCompression = "label-compression";
inline constexpr const char* kRewinder = "label-rewinder";
