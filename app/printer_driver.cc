// The PAPPL wiring of a printer: what each driver offers over IPP and on
// the web pages, and which of the app's parts its jobs and its status
// queries go to.
#include "printer_driver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access.h"
#include "device_uri.h"
#include "app_icons.h"
#include "drivers.h"
#include "interpose.h"
#include "job_options.h"
#include "jobs.h"
#include "printer_data.h"
#include "server_settings.h"
#include "status_query.h"
#include "test_page.h"

namespace {

void addVendorAttributes(const DriverInfo& info, pappl_pr_driver_data_t& data, ipp_t* attrs) {
  static constexpr std::array<const char*, 2> kMethods{"direct-thermal", "thermal-transfer"};
  static constexpr std::array<int, 4> kTurns{0, 90, 180, 270};
  data.vendor[data.num_vendor++] = kPrintMethod;
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "label-print-method-default", nullptr, kMethods[0]);
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "label-print-method-supported",
                static_cast<int>(kMethods.size()), nullptr, kMethods.data());
  data.vendor[data.num_vendor++] = kRotation;
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-rotation-default", 0);
  ippAddIntegers(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-rotation-supported", static_cast<int>(kTurns.size()),
                 kTurns.data());
  // Millimetres, as the printer takes them.
  data.vendor[data.num_vendor++] = kMarkOffset;
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-mark-offset-default", 0);
  ippAddRange(attrs, IPP_TAG_PRINTER, "label-mark-offset-supported", 0, 10);
  // With finishings trim: cut after every this many labels.
  data.vendor[data.num_vendor++] = kCutPeriod;
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "label-cut-period-default", 1);
  ippAddRange(attrs, IPP_TAG_PRINTER, "label-cut-period-supported", 1, 999);
  data.vendor[data.num_vendor++] = kCompression;
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "label-compression-default", 1);
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "label-compression-supported", 1);
  if (info.rewinder) {
    data.vendor[data.num_vendor++] = kRewinder;
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "label-rewinder-default", 0);
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "label-rewinder-supported", 1);
  }
}

// What IPP Everywhere clients look for and PAPPL 1.3.1 leaves out: one
// rendering intent, the printer's own; one-sided raster needs no turned
// back; no preferred values come back from Validate-Job.
void addEverywhereAttributes(ipp_t* attrs) {
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default", nullptr,
               "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported", nullptr,
               "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "pwg-raster-document-sheet-back", nullptr,
               "normal");
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
}

// Identify-Printer: the command language has no display, light or sound,
// and a label printed to find the printer would waste media, so "display"
// puts the message in the printer's log.
void identifyPrinter(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message) {
  if (actions & PAPPL_IDENTIFY_ACTIONS_DISPLAY) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", message != nullptr ? message : "");
  }
}


// PAPPL's status callback: the printer-state reasons as the last query left
// them, a new query started in the background. Never waits for the printer.
bool statusCallback(pappl_printer_t* printer) {
  PrinterData* data = printerData(printer);
  if (data == nullptr) return true;
  const DriverInfo& driver = data->driver;
  data->poll.ask([printer, &driver](int& stop) { return queryPrinterStatus(printer, driver, stop); });
  return true;
}

// CUPS 2.4's everywhere PPD names a size of four zero margins
// "NAME.Borderless" but its DefaultPageSize, from media-col-default's size
// alone, plain "NAME": with every label size edge to edge the queue's default
// is a size it does not have, and a job that names none goes out on Letter
// and is shrunk onto the label. A hundredth of a millimetre on every side
// (a tenth of a dot at 600 dpi) gives each size its plain name, so the queue
// defaults to the loaded label; the page stays the label's size, which
// pdftopdf does not scale a label-sized document to.
constexpr int kListedMargin = 1;

bool isMarginSupported(std::string_view name) {
  return name == "media-bottom-margin-supported" || name == "media-left-margin-supported" ||
         name == "media-right-margin-supported" || name == "media-top-margin-supported";
}

}  // namespace

// PAPPL 1.3.1 lists every size of the media-col-database with the driver's
// margins; the sizes are listed with kListedMargin instead, while the ready
// media and jobs keep the zero margins the driver prints with.
extern "C" ipp_attribute_t* ippAddCollections(ipp_t* ipp, ipp_tag_t group, const char* name, int numValues,
                                              const ipp_t** values) {
  static const auto add = theirs<decltype(&ippAddCollections)>("ippAddCollections");
  if (name == nullptr || std::strcmp(name, "media-col-database") != 0 || values == nullptr || numValues <= 0) {
    return add(ipp, group, name, numValues, values);
  }
  std::vector<ipp_t*> sizes;
  for (int i = 0; i < numValues; ++i) {
    ipp_t* size = ippNew();
    ippCopyAttributes(size, const_cast<ipp_t*>(values[i]), 0, nullptr, nullptr);
    for (const char* margin : {"media-bottom-margin", "media-left-margin", "media-right-margin", "media-top-margin"}) {
      ippDeleteAttribute(size, ippFindAttribute(size, margin, IPP_TAG_ZERO));
      ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, margin, kListedMargin);
    }
    sizes.push_back(size);
  }
  ipp_attribute_t* attr = add(ipp, group, name, numValues, const_cast<const ipp_t**>(sizes.data()));
  for (ipp_t* size : sizes) ippDelete(size);
  return attr;
}

// The margins the sizes are listed with are supported besides the driver's.
extern "C" ipp_attribute_t* ippAddIntegers(ipp_t* ipp, ipp_tag_t group, ipp_tag_t valueTag, const char* name,
                                           int numValues, const int* values) {
  static const auto add = theirs<decltype(&ippAddIntegers)>("ippAddIntegers");
  if (name == nullptr || !isMarginSupported(name) || values == nullptr || numValues <= 0 ||
      std::find(values, values + numValues, kListedMargin) != values + numValues) {
    return add(ipp, group, valueTag, name, numValues, values);
  }
  std::vector<int> margins(values, values + numValues);
  margins.push_back(kListedMargin);
  return add(ipp, group, valueTag, name, static_cast<int>(margins.size()), margins.data());
}

bool everywhereMarginsListed() {
  return ours("ippAddCollections", reinterpret_cast<void*>(&ippAddCollections)) &&
         ours("ippAddIntegers", reinterpret_cast<void*>(&ippAddIntegers));
}

bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* data, ipp_t** attrs, void* /*cbdata*/) {
  // Every printer is made here, from every door: the web page, IPP, the
  // command line and the state file.
  if (const std::string why = deviceUriRefusal(deviceUri != nullptr ? deviceUri : "", gAccessPolicy.port); !why.empty()) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No printer for the device URI '%s': %s.", deviceUri ? deviceUri : "",
             why.c_str());
    return false;
  }
  const DriverInfo* info = findDriver(driverName);
  if (info == nullptr) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named '%s'.", driverName ? driverName : "(null)");
    return false;
  }
  papplCopyString(data->make_and_model, info->description.c_str(), sizeof data->make_and_model);
  data->format = kLabelFormat;
  data->printfile_cb = printRawFile;
  data->rstartjob_cb = startRasterJob;
  data->rstartpage_cb = startRasterPage;
  data->rwriteline_cb = writeRasterLine;
  data->rendpage_cb = endRasterPage;
  data->rendjob_cb = endRasterJob;
  data->status_cb = statusCallback;
  data->identify_cb = identifyPrinter;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->testpage_cb = makeTestPage;
  keepPrinterData(*data, *info);
  // The app's own pictogram rather than PAPPL's; the images live as long as
  // the server.
  const AppIcons& icons = appIcons();
  for (auto [icon, png] : {std::pair{&data->icons[0], &icons.small}, std::pair{&data->icons[1], &icons.medium},
                           std::pair{&data->icons[2], &icons.large}}) {
    icon->data = png->data();
    icon->datalen = png->size();
  }

  data->ppm = 60;  // labels per minute, roughly
  data->kind = PAPPL_KIND_LABEL;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  // PAPPL's own conversion to 1 bit overruns its line on pages wider than
  // the label, so it is not asked for: the job callbacks threshold 8-bit
  // gray and crop. A client may send 1-bit pages too (an eighth of the data
  // to decode) where the app reads the document itself, as PAPPL's reader
  // hands them over under its own 8-bit header.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  if (rasterDocumentsSpooled()) data->raster_types |= PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->input_face_up = true;
  // Labels come off the printer first one first: described face-up, a
  // CUPS everywhere queue's PPD says Reverse and pdftopdf turns the pages.
  data->output_face_up = false;
  data->finishings = PAPPL_FINISHINGS_TRIM;  // the cutter

  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = info->resolution;
  data->x_default = data->y_default = info->resolution;

  // Labels are printed edge to edge.
  data->borderless = false;
  data->left_right = data->bottom_top = 0;
  data->num_media = 0;
  for (const char* name : standardMediaNames()) data->media[data->num_media++] = name;
  data->media[data->num_media++] = kRollMin;
  data->media[data->num_media++] = kRollMax;

  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 2;
  data->type[0] = "labels";
  data->type[1] = "labels-continuous";
  data->tracking_supported =
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS;
  // The printer's margins, 0 to 10 mm, as media offsets.
  data->left_offset_supported[0] = data->top_offset_supported[0] = 0;
  data->left_offset_supported[1] = data->top_offset_supported[1] = 1000;
  data->mode_supported = PAPPL_LABEL_MODE_TEAR_OFF;
  data->mode_configured = PAPPL_LABEL_MODE_TEAR_OFF;
  data->tear_offset_supported[0] = -500;
  data->tear_offset_supported[1] = 500;
  data->tear_offset_configured = 0;

  pwg_media_t* size = pwgMediaForPWG(kDefaultMedia);
  pappl_media_col_t& media = data->media_default;
  papplCopyString(media.size_name, kDefaultMedia, sizeof media.size_name);
  media.size_width = size->width;
  media.size_length = size->length;
  papplCopyString(media.source, data->source[0], sizeof media.source);
  papplCopyString(media.type, data->type[0], sizeof media.type);
  media.tracking = PAPPL_MEDIA_TRACKING_GAP;
  data->media_ready[0] = media;

  // 2 to 6 inches per second, in hundredths of millimetres per second.
  data->speed_supported[0] = 2 * 2540;
  data->speed_supported[1] = 6 * 2540;
  data->speed_default = 4 * 2540;
  // Fifteen darkness levels; the configured 64 % is level 10.
  data->darkness_supported = 15;
  data->darkness_configured = 64;
  data->darkness_default = 0;

  *attrs = ippNew();
  addVendorAttributes(*info, *data, *attrs);
  addEverywhereAttributes(*attrs);
  return true;
}
