// The driver catalogue: which drivers the app offers, the label sizes they
// know and the PPD each one's filter reads. Nothing of the running app.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <span>
#include <string>

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

// The drivers as PAPPL lists them, and each one's record (null for a name
// that is none of them).
std::span<pappl_pr_driver_t> driverTable();
const DriverInfo* findDriver(const char* driverName);
// The driver of a model number at a resolution; null when either is none
// the drivers know.
const DriverInfo* findDriver(int32_t model, int resolution);
// The model numbers and the resolutions the drivers take, for a user to
// choose from.
std::span<const int32_t> driverModels();
std::span<const int> driverResolutions();

// The PPD the filter reads for a driver's printers.
std::string ppdPath(const DriverInfo& driver);

// The standard label sizes as PWG media names, in the filter's index order.
std::span<const char* const> standardMediaNames();
// Custom sizes: the PPDs' range, half an inch square up to the widest head
// and 50 inches of feed; and the label a new printer has loaded.
inline constexpr const char* kRollMin = "roll_min_0.5x0.5in";
inline constexpr const char* kRollMax = "roll_max_4x50in";
inline constexpr const char* kDefaultMedia = "oe_2x1-label_2x1in";
