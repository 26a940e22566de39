#include "test_page.h"

#include <cups/raster.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "job_options.h"
#include "page_packing.h"
#include "printer_data.h"
#include "test_label.h"

namespace {

const char* sensorName(pappl_media_tracking_t tracking) {
  switch (tracking) {
    case PAPPL_MEDIA_TRACKING_GAP:
      return "Gap sensor";
    case PAPPL_MEDIA_TRACKING_MARK:
      return "Mark sensor";
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
      return "Continuous";
    default:
      return "Sensor as set";
  }
}

// The group's key in the driver's name, e.g. "rewinder" of
// "tamrisk_rewinder-203dpi".
std::string groupName(const DriverInfo& driver) {
  const size_t start = driver.name.find('_') + 1;
  return driver.name.substr(start, driver.name.rfind('-') - start);
}

std::string labelSize(const pappl_media_col_t& media) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%.1f x %.1f mm, %.2f x %.2f in", media.size_width / 100.0,
                media.size_length / 100.0, media.size_width / 2540.0, media.size_length / 2540.0);
  return text.data();
}

// What the label says, most wanted first: the size and the settings that
// alignment and darkness depend on, then the printer's models. Short
// enough that the default 2 x 1 in label holds all but a long model list.
std::vector<std::string> labelLines(pappl_printer_t* printer, const DriverInfo& driver,
                                    const pappl_pr_driver_data_t& data) {
  const pappl_media_col_t& media = data.media_default;
  const std::string darkness =
      "Darkness " + std::to_string(darknessLevel(data.darkness_configured, data.darkness_default)) + "/15";
  const std::string speed =
      data.speed_default > 0 ? "speed " + std::to_string(speedLevel(data.speed_default)) + " in/s" : "speed as set";
  const bool transfer = vendorDefault(printer, kPrintMethod) == "thermal-transfer";
  return {
      labelSize(media),
      darkness + ", " + speed,
      std::string(sensorName(media.tracking)) + (transfer ? ", thermal transfer" : ", direct thermal"),
      "Group " + groupName(driver) + ", " + std::to_string(driver.resolution) + " dpi",
      "Models " + driver.models,
  };
}

struct RasterClose {
  void operator()(cups_raster_t* raster) const { cupsRasterClose(raster); }
};

// The label as one page of 1-bit black; false when a write failed.
bool writeRaster(int fd, const LabelBitmap& label, const pappl_media_col_t& media, unsigned resolution) {
  const std::unique_ptr<cups_raster_t, RasterClose> raster(cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG));
  if (raster == nullptr) return false;
  cups_page_header2_t header;
  const auto dpi = static_cast<int>(resolution);
  if (!cupsRasterInitPWGHeader(&header, pwgMediaForSize(media.size_width, media.size_length), "black_1", dpi, dpi,
                               "one-sided", nullptr)) {
    return false;
  }
  // The label's dots as the job counts them, whatever size name libcups
  // finds for it.
  header.cupsWidth = label.width;
  header.cupsHeight = label.height;
  header.cupsBytesPerLine = static_cast<unsigned>(label.bytesPerLine());
  header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = 1;
  if (!cupsRasterWriteHeader2(raster.get(), &header)) return false;
  for (uint32_t y = 0; y < label.height; ++y) {
    // libcups takes the row as writable and leaves it as it is.
    auto* row = const_cast<unsigned char*>(label.row(y));
    if (cupsRasterWritePixels(raster.get(), row, header.cupsBytesPerLine) != header.cupsBytesPerLine) return false;
  }
  return true;
}

}  // namespace

const char* makeTestPage(pappl_printer_t* printer, char* buffer, size_t bufferSize) {
  const PrinterData* printerState = printerData(printer);
  if (printerState == nullptr) return nullptr;
  const DriverInfo& driver = printerState->driver;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const pappl_media_col_t& media = data.media_default;
  const auto resolution = static_cast<unsigned>(driver.resolution);

  TestLabel label;
  label.width = dots(media.size_width, resolution);
  label.length = dots(media.size_length, resolution);
  label.resolution = resolution;
  label.lines = labelLines(printer, driver, data);
  const LabelBitmap bitmap = drawTestLabel(label);

  const int fd = papplCreateTempFile(buffer, bufferSize, "testpage", "pwg");
  if (fd < 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to create the test page: %s", std::strerror(errno));
    return nullptr;
  }
  const bool written = writeRaster(fd, bitmap, media, resolution);
  const int error = errno;
  if (close(fd) != 0 || !written) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to write the test page %s: %s", buffer,
                    std::strerror(written ? errno : error));
    unlink(buffer);
    return nullptr;
  }
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Test page of %ux%u dots for %s.", bitmap.width, bitmap.height,
                  media.size_name);
  return buffer;
}
