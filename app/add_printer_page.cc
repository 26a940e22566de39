// The "Add Printer" web page, in place of PAPPL's. PAPPL 1.3.1's page looks
// for network printers through Avahi and, when avahi-daemon is not running,
// aborts the whole application. Label printers are added by address
// (socket://HOST:9100) or as a USB device, which this page lists without
// Avahi.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "access.h"
#include "device_uri.h"
#include "drivers.h"
#include "form_number.h"
#include "web.h"

namespace {

std::string formValue(int count, cups_option_t* form, const char* name) {
  const char* value = cupsGetOption(name, count, form);
  return value != nullptr ? value : "";
}

// The device URI of the form: a listed device, or a network printer's
// host with the raw port 9100 unless it names one.
std::string deviceUri(const std::string& device, const std::string& host) {
  if (device != "socket") return device;
  if (host.empty()) return "";
  const bool hasPort = host.find(':') != std::string::npos && host.find(']') == std::string::npos;
  return "socket://" + host + (hasPort ? "" : ":9100");
}

struct DeviceList {
  pappl_client_t* client;
  std::string selected;
};

bool listDevice(const char* info, const char* uri, const char* /*id*/, void* data) {
  auto* list = static_cast<DeviceList*>(data);
  papplClientHTMLPrintf(list->client, "<option value=\"%s\"%s>%s</option>", uri,
                        list->selected == uri ? " selected" : "", info);
  return false;  // go on listing
}

// Creates the printer from a posted form; the error in words, or empty
// after answering with a redirect to the new printer.
// What the form holds, shown again when it comes back with an error.
struct AddForm {
  std::string name, device, host, model, resolution, driver;
};

// The driver the form names: by model number and resolution, or by the
// driver's own name (scripts, and PAPPL's own form).
const DriverInfo* chosenDriver(const AddForm& form) {
  if (!form.driver.empty()) return findDriver(form.driver.c_str());
  const auto model = formNumber(form.model.c_str(), 1, 999999999);
  const auto resolution = formNumber(form.resolution.c_str(), 1, 10000);
  return model && resolution ? findDriver(*model, *resolution) : nullptr;
}

std::string addFromForm(pappl_client_t* client, pappl_system_t* system, AddForm& entered) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  std::string error;
  if (count == 0) {
    error = "Invalid form data.";
  } else if (!papplClientIsValidForm(client, count, form)) {
    error = "Invalid form submission.";
  } else {
    entered = {formValue(count, form, "printer_name"), formValue(count, form, "device_uri"),
               formValue(count, form, "hostname"),     formValue(count, form, "model"),
               formValue(count, form, "resolution"),   formValue(count, form, "driver_name")};
    const std::string& name = entered.name;
    const std::string uri = deviceUri(entered.device, entered.host);
    const DriverInfo* driver = chosenDriver(entered);
    if (name.empty()) {
      error = "Please enter a printer name.";
    } else if (uri.empty()) {
      error = "Please select a device or enter the printer's address.";
    } else if (const std::string why = deviceUriRefusal(uri, gAccessPolicy.port); !why.empty()) {
      error = "This device cannot be used: " + why + ".";
    } else if (driver == nullptr) {
      error = "Please select the printer's model and resolution.";
    } else if (pappl_printer_t* printer = papplPrinterCreate(system, 0, name.c_str(), driver->name.c_str(), nullptr,
                                                             uri.c_str())) {
      char path[1024];
      papplPrinterGetPath(printer, nullptr, path, sizeof path);
      papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path);
    } else {
      error = errno == EEXIST   ? "A printer with that name already exists."
              : errno == EINVAL ? "Printer names must start with a letter or underscore and cannot contain special "
                                  "characters."
                                : std::strerror(errno);
    }
  }
  cupsFreeOptions(count, form);
  return error;
}

}  // namespace

bool addPrinterPage(pappl_client_t* client, void* data) {
  auto* system = static_cast<pappl_system_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;
  AddForm form;
  std::string error;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    error = addFromForm(client, system, form);
    if (error.empty()) return true;
  }
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return true;
  papplClientHTMLHeader(client, "Add Printer", 0);
  papplClientHTMLPuts(client, "    <div class=\"content\">\n      <div class=\"row\">\n        <div class=\"col-12\">\n"
                              "          <h1 class=\"title\">Add Printer</h1>\n");
  if (!error.empty()) papplClientHTMLPrintf(client, "          <div class=\"banner\">%s</div>\n", error.c_str());
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPrintf(client,
                        "          <table class=\"form\">\n            <tbody>\n"
                        "              <tr><th><label for=\"printer_name\">Name:</label></th><td><input type=\"text\" "
                        "name=\"printer_name\" id=\"printer_name\" placeholder=\"e.g. shipping\" value=\"%s\" "
                        "required></td></tr>\n"
                        "              <tr><th><label for=\"device_uri\">Device:</label></th><td><select "
                        "name=\"device_uri\" id=\"device_uri\"><option value=\"socket\">Network printer</option>",
                        form.name.c_str());
  DeviceList list{client, form.device};
  papplDeviceList(PAPPL_DEVTYPE_USB, listDevice, &list, papplLogDevice, system);
  papplClientHTMLPrintf(client,
                        "</select></td></tr>\n"
                        "              <tr><th><label for=\"hostname\">Address:</label></th><td><input type=\"text\" "
                        "name=\"hostname\" id=\"hostname\" size=\"32\" placeholder=\"192.0.2.10 or printer.local\" "
                        "value=\"%s\"><br>A network printer's IP address or host name, with :port when it is not "
                        "9100.</td></tr>\n"
                        "              <tr><th><label for=\"model\">Model:</label></th><td><select name=\"model\" "
                        "id=\"model\" required><option value=\"\">Select the model number</option>",
                        form.host.c_str());
  for (const int32_t model : driverModels()) {
    const std::string number = std::to_string(model);
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>Tamrisk %s</option>", number.c_str(),
                          form.model == number ? " selected" : "", number.c_str());
  }
  papplClientHTMLPuts(client,
                      "</select><br>The number on the printer's rating label.</td></tr>\n"
                      "              <tr><th><label for=\"resolution\">Resolution:</label></th><td><select "
                      "name=\"resolution\" id=\"resolution\" required>");
  for (const int resolution : driverResolutions()) {
    const std::string dpi = std::to_string(resolution);
    const bool selected = form.resolution.empty() ? resolution == driverResolutions().front() : form.resolution == dpi;
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s dpi (%.1f dots/mm)</option>", dpi.c_str(),
                          selected ? " selected" : "", dpi.c_str(), resolution / 25.4);
  }
  papplClientHTMLPuts(client,
                      "</select></td></tr>\n"
                      "              <tr><th></th><td><input type=\"submit\" value=\"Add Printer\"> "
                      "<a class=\"btn\" href=\"/\">Cancel</a></td></tr>\n"
                      "            </tbody>\n          </table>\n        </form>\n"
                      "        </div>\n      </div>\n    </div>\n");
  papplClientHTMLFooter(client);
  return true;
}
