#include "job_options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Sizes within half a millimetre of a standard size are that size.
constexpr int kSizeTolerance = 50;

int hundredthsOfMillimetres(pwg_media_t* media, bool width) { return width ? media->width : media->length; }

// The filter's size index for the media, or -1 for a custom size.
int standardSizeIndex(const pappl_media_col_t& media) {
  const auto names = standardMediaNames();
  for (size_t i = 0; i < names.size(); ++i) {
    pwg_media_t* size = pwgMediaForPWG(names[i]);
    if (size != nullptr && std::abs(hundredthsOfMillimetres(size, true) - media.size_width) <= kSizeTolerance &&
        std::abs(hundredthsOfMillimetres(size, false) - media.size_length) <= kSizeTolerance) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

long points(int hundredthsOfMillimetres) { return std::lround(hundredthsOfMillimetres * 72.0 / 2540.0); }

// Whole millimetres from hundredths.
long millimetres(int hundredths) { return std::lround(hundredths / 100.0); }

struct IppDelete {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};

// A job's vendor settings: those the job names, else the printer's. PAPPL
// hands the job only its own; the defaults set on the printing page or with
// Set-Printer-Attributes stay in the printer's driver attributes as
// NAME-default.
struct VendorSettings {
  const pappl_pr_options_t& job;
  std::unique_ptr<ipp_t, IppDelete> printer;
};

// NAME-default of the printer's driver attributes; empty when it has none.
std::string defaultValue(ipp_t* printer, const char* name) {
  const std::string defaultName = std::string(name) + "-default";
  ipp_attribute_t* attribute = ippFindAttribute(printer, defaultName.c_str(), IPP_TAG_ZERO);
  if (attribute == nullptr) return "";
  char text[256];
  ippAttributeString(attribute, text, sizeof text);
  return text;
}

// Empty when neither has it.
std::string vendorValue(const VendorSettings& settings, const char* name) {
  if (const char* value = cupsGetOption(name, settings.job.num_vendor, settings.job.vendor)) return value;
  return defaultValue(settings.printer.get(), name);
}

long vendorInteger(const VendorSettings& settings, const char* name, long fallback) {
  const std::string value = vendorValue(settings, name);
  if (value.empty()) return fallback;
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  return *end == '\0' ? number : fallback;
}

bool vendorBoolean(const VendorSettings& settings, const char* name, bool fallback) {
  const std::string value = vendorValue(settings, name);
  return value.empty() ? fallback : value == "true";
}

void add(std::string& out, const std::string& name, const std::string& value) {
  if (!out.empty()) out += ' ';
  out += name + "=" + value;
}

}  // namespace

int darknessLevel(int configured, int adjustment) {
  // Printer darkness 0 to 100 % plus the job's -100 to 100, onto levels 1 to 15.
  const int darkness = std::clamp(configured + adjustment, 0, 100);
  return 1 + (darkness * 14 + 50) / 100;
}

long speedLevel(int hundredthsPerSecond) { return std::clamp(std::lround(hundredthsPerSecond / 2540.0), 2L, 6L); }

std::string vendorDefault(pappl_printer_t* printer, const char* name) {
  const std::unique_ptr<ipp_t, IppDelete> attributes(papplPrinterGetDriverAttributes(printer));
  return defaultValue(attributes.get(), name);
}

std::string filterOptions(const DriverInfo& driver, const pappl_pr_options_t& options, pappl_job_t* job) {
  std::string out;
  add(out, "Resolution", std::to_string(driver.resolution) + "dpi");

  const int index = standardSizeIndex(options.media);
  if (index >= 0) {
    add(out, "PageSize", std::to_string(index));
  } else {
    add(out, "PageSize",
        "Custom." + std::to_string(points(options.media.size_width)) + "x" + std::to_string(points(options.media.size_length)));
  }

  switch (options.media.tracking) {
    case PAPPL_MEDIA_TRACKING_GAP:
      add(out, "SensorType", "0");
      break;
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
      add(out, "SensorType", "1");
      break;
    case PAPPL_MEDIA_TRACKING_MARK:
      add(out, "SensorType", "2");
      break;
    default:
      break;
  }
  add(out, "XMargin", std::to_string(std::clamp(millimetres(options.media.left_offset), 0L, 10L)));
  add(out, "YMargin", std::to_string(std::clamp(millimetres(options.media.top_offset), 0L, 10L)));

  add(out, "Darkness", std::to_string(darknessLevel(options.darkness_configured, options.print_darkness)));
  if (options.print_speed > 0) add(out, "PrintSpeed", std::to_string(speedLevel(options.print_speed)));

  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  add(out, "TOOffset", std::to_string(std::clamp(millimetres(data.tear_offset_configured), -5L, 5L)));

  const VendorSettings vendor{options, std::unique_ptr<ipp_t, IppDelete>(
                                          papplPrinterGetDriverAttributes(papplJobGetPrinter(job)))};
  add(out, "MediaType", vendorValue(vendor, kPrintMethod) == "thermal-transfer" ? "1" : "0");
  add(out, "Rotation", std::to_string(vendorInteger(vendor, kRotation, 0) / 90 % 4));
  add(out, "BMOffset", std::to_string(std::clamp(vendorInteger(vendor, kMarkOffset, 0), 0L, 10L)));
  if (options.finishings & PAPPL_FINISHINGS_TRIM) {
    add(out, "Cutter", "Custom." + std::to_string(std::clamp(vendorInteger(vendor, kCutPeriod, 1), 1L, 999L)));
  } else {
    add(out, "Cutter", "0");
  }
  if (driver.rewinder) add(out, "Rewinder", vendorBoolean(vendor, kRewinder, false) ? "1" : "0");
  add(out, "CompPrinting", vendorBoolean(vendor, kCompression, true) ? "1" : "0");

  // PAPPL makes the copies of image jobs itself; for raster, and for PDF
  // that the app renders, they are left to the printer, which prints each
  // label that many times.
  const char* format = papplJobGetFormat(job);
  const bool printerCopies = format != nullptr && (std::strcmp(format, "image/pwg-raster") == 0 ||
                                                   std::strcmp(format, "image/urf") == 0 ||
                                                   std::strcmp(format, "application/pdf") == 0);
  const int copies = printerCopies ? std::max(options.copies, 1) : 1;
  add(out, "NumOfCopies", copies <= 10 ? std::to_string(copies) : "Custom." + std::to_string(copies));

  // The app polls the status itself; the per-run trace costs time only.
  add(out, "StatusCheck", "0");
  add(out, "RunTrace", "0_Off");
  return out;
}
