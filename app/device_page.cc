// Each printer's Device page: where its jobs go, and the settings that PAPPL
// shows in its own terms or not at all: darkness as the printer's level, and
// the tear-off offset. Seen by whoever sees the printer's page; changed only
// through the Change page, which asks what PAPPL's settings pages ask.
#include <pappl/pappl.h>

#include <cmath>
#include <optional>
#include <string>

#include "form_number.h"
#include "job_options.h"
#include "web.h"

namespace {

constexpr int kLevels = 15;
constexpr int kTearOffsetMm = 5;  // either way, as the printer takes it

// PAPPL's percent for a level: the value of its own list's entry, so that
// both pages agree on which one is set.
int percentOfLevel(int level) { return 100 * (level - 1) / (kLevels - 1); }

// Saves the posted settings; the outcome in words.
const char* saveSettings(pappl_client_t* client, pappl_printer_t* printer) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  const char* outcome = "Changes saved.";
  if (count == 0) {
    outcome = "Invalid form data.";
  } else if (!papplClientIsValidForm(client, count, form)) {
    outcome = "Invalid form submission.";
  } else {
    const auto level = formNumber(cupsGetOption("darkness-level", count, form), 1, kLevels);
    const auto tear = formNumber(cupsGetOption("tear-offset", count, form), -kTearOffsetMm, kTearOffsetMm);
    pappl_pr_driver_data_t data{};
    papplPrinterGetDriverData(printer, &data);
    if (level) data.darkness_configured = percentOfLevel(*level);
    if (tear) data.tear_offset_configured = *tear * 100;
    // No vendor options: PAPPL keeps their defaults as they are.
    if (!level || !tear || !papplPrinterSetDriverDefaults(printer, &data, 0, nullptr)) {
      outcome = "Bad printer defaults.";
    }
  }
  cupsFreeOptions(count, form);
  return outcome;
}

void showPage(pappl_client_t* client, pappl_printer_t* printer, bool change, const char* outcome) {
  pappl_pr_driver_data_t data{};
  papplPrinterGetDriverData(printer, &data);
  const int level = darknessLevel(data.darkness_configured, 0);
  const long tearMm = std::lround(data.tear_offset_configured / 100.0);
  char path[1024];
  // The header's title is the page's first heading.
  papplClientHTMLPrinterHeader(client, printer, "Device", 0, nullptr, nullptr);
  if (outcome != nullptr) papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", outcome);
  const char* uri = papplPrinterGetDeviceURI(printer);
  papplClientHTMLPrintf(client,
                        "          <table class=\"form\">\n            <tbody>\n"
                        "              <tr><th>Address:</th><td><code>%s</code></td></tr>\n"
                        "              <tr><th>Model:</th><td>%s</td></tr>\n"
                        "            </tbody>\n          </table>\n",
                        uri != nullptr ? uri : "", data.make_and_model);
  papplClientHTMLPrintf(client, "          <h1 class=\"title\">Printer Settings");
  if (!change) {
    papplClientHTMLPrintf(client, " <a class=\"btn\" href=\"%s\">Change</a>",
                          papplPrinterGetPath(printer, "device-settings", path, sizeof path));
  }
  papplClientHTMLPuts(client, "</h1>\n");
  if (change) {
    papplClientHTMLStartForm(client, papplPrinterGetPath(printer, "device-settings", path, sizeof path), false);
  }
  papplClientHTMLPuts(client, "          <table class=\"form\">\n            <tbody>\n"
                              "              <tr><th>Darkness:</th><td>");
  if (change) {
    papplClientHTMLPuts(client, "<select name=\"darkness-level\">");
    for (int option = 1; option <= kLevels; ++option) {
      papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d</option>", option, option == level ? " selected" : "",
                            option);
    }
    papplClientHTMLPuts(client, "</select> ");
  }
  papplClientHTMLPrintf(client,
                        "Darkness level %d of %d (%d %% on the printing defaults page). A job's print darkness, "
                        "&minus;100 to 100 %%, is added to the percentage before it becomes the level the printer "
                        "gets.</td></tr>\n              <tr><th>Tear-Off Offset:</th><td>",
                        level, kLevels, data.darkness_configured);
  if (change) {
    papplClientHTMLPuts(client, "<select name=\"tear-offset\">");
    for (int option = -kTearOffsetMm; option <= kTearOffsetMm; ++option) {
      papplClientHTMLPrintf(client, "<option value=\"%d\"%s>%d mm</option>", option,
                            option == tearMm ? " selected" : "", option);
    }
    papplClientHTMLPuts(client, "</select> ");
  } else {
    papplClientHTMLPrintf(client, "%ld mm ", tearMm);
  }
  papplClientHTMLPuts(client, "(moves where a label stops to be torn off, in whole millimetres)</td></tr>\n");
  if (change) {
    papplClientHTMLPuts(client,
                        "              <tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n");
  }
  papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
  if (change) papplClientHTMLPuts(client, "          </form>\n");
  papplClientHTMLPrinterFooter(client);
}

// Open to whoever may see the printer's page, as PAPPL's is.
bool devicePage(pappl_client_t* client, void* data) {
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (papplClientGetMethod(client) != HTTP_STATE_GET) {
    return papplClientRespond(client, HTTP_STATUS_METHOD_NOT_ALLOWED, nullptr, nullptr, 0, 0);
  }
  showPage(client, printer, false, nullptr);
  return true;
}

// Administration only.
bool deviceSettingsPage(pappl_client_t* client, void* data) {
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;
  const char* outcome = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) outcome = saveSettings(client, printer);
  showPage(client, printer, true, outcome);
  return true;
}

}  // namespace

void addDevicePages(pappl_printer_t* printer) {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  char path[1024];
  papplSystemAddResourceCallback(system, papplPrinterGetPath(printer, "device-settings", path, sizeof path),
                                 "text/html", deviceSettingsPage, printer);
  papplSystemAddResourceCallback(system, papplPrinterGetPath(printer, "device", path, sizeof path), "text/html",
                                 devicePage, printer);
  // PAPPL shows the label (escaped) among the printer's status buttons; a
  // printer keeps its device URI for life.
  const char* uri = papplPrinterGetDeviceURI(printer);
  const std::string label = std::string("Device: ") + (uri != nullptr ? uri : "");
  papplPrinterAddLink(printer, label.c_str(), path, PAPPL_LOPTIONS_STATUS);
  // And among the printer's pages, the printing defaults' among them, whose
  // darkness list shows only percentages.
  papplPrinterAddLink(printer, "Device", path, PAPPL_LOPTIONS_NAVIGATION);
}
