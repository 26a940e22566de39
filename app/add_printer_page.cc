// The "Add Printer" web page, in place of PAPPL's. PAPPL 1.3.1's page looks
// for network printers through Avahi and, when avahi-daemon is not running,
// aborts the whole application. Label printers are added by address
// (socket://HOST:9100) or as a USB device, which this page lists without
// Avahi.
#include <cerrno>
#include <cstring>
#include <string>

#include "access.h"
#include "drivers.h"
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
std::string addFromForm(pappl_client_t* client, pappl_system_t* system, std::string& name, std::string& driver,
                        std::string& device, std::string& host) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  std::string error;
  if (count == 0) {
    error = "Invalid form data.";
  } else if (!papplClientIsValidForm(client, count, form)) {
    error = "Invalid form submission.";
  } else {
    name = formValue(count, form, "printer_name");
    driver = formValue(count, form, "driver_name");
    device = formValue(count, form, "device_uri");
    host = formValue(count, form, "hostname");
    const std::string uri = deviceUri(device, host);
    if (name.empty()) {
      error = "Please enter a printer name.";
    } else if (uri.empty()) {
      error = "Please select a device or enter the printer's address.";
    } else if (const std::string why = deviceUriRefusal(uri.c_str()); !why.empty()) {
      error = "This device cannot be used: " + why + ".";
    } else if (findDriver(driver.c_str()) == nullptr) {
      error = "Please select a driver.";
    } else if (pappl_printer_t* printer = papplPrinterCreate(system, 0, name.c_str(), driver.c_str(), nullptr,
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
  std::string name, driver, device, host, error;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    error = addFromForm(client, system, name, driver, device, host);
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
                        "name=\"printer_name\" id=\"printer_name\" placeholder=\"Name of printer\" value=\"%s\" "
                        "required></td></tr>\n"
                        "              <tr><th><label for=\"device_uri\">Device:</label></th><td><select "
                        "name=\"device_uri\" id=\"device_uri\"><option value=\"socket\">Network printer</option>",
                        name.c_str());
  DeviceList list{client, device};
  papplDeviceList(PAPPL_DEVTYPE_USB, listDevice, &list, papplLogDevice, system);
  papplClientHTMLPrintf(client,
                        "</select></td></tr>\n"
                        "              <tr><th><label for=\"hostname\">Address:</label></th><td><input type=\"text\" "
                        "name=\"hostname\" id=\"hostname\" placeholder=\"IP address or hostname[:port]\" "
                        "value=\"%s\"> (network printers)</td></tr>\n"
                        "              <tr><th><label for=\"driver_name\">Driver:</label></th><td><select "
                        "name=\"driver_name\" id=\"driver_name\" required><option value=\"\">Select the "
                        "model and resolution</option>",
                        host.c_str());
  // The resolution apart from the model list, which is long enough to
  // read as if it went on.
  for (const pappl_pr_driver_t& entry : driverTable()) {
    const DriverInfo* info = findDriver(entry.name);
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>Tamrisk %s (%d dpi)</option>", entry.name,
                          driver == entry.name ? " selected" : "", info->models.c_str(), info->resolution);
  }
  papplClientHTMLPuts(client,
                      "</select></td></tr>\n"
                      "              <tr><th></th><td><input type=\"submit\" value=\"Add Printer\"></td></tr>\n"
                      "            </tbody>\n          </table>\n        </form>\n"
                      "        </div>\n      </div>\n    </div>\n");
  papplClientHTMLFooter(client);
  return true;
}
