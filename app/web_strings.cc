// Words for the web pages: PAPPL shows a vendor attribute by the localized
// text of its name, and a keyword value by that of "name.value"; without
// them the printing defaults page lists raw keywords.
#include <array>

#include "web.h"

namespace {

// NeXTStep strings, the format PAPPL reads.
constexpr const char* kEnglish = R"strings("label-print-method" = "Print Method";
"label-print-method.direct-thermal" = "Direct Thermal";
"label-print-method.thermal-transfer" = "Thermal Transfer (Ribbon)";
"label-rotation" = "Label Rotation (Clockwise, by the Printer)";
"label-mark-offset" = "Black Mark Offset (mm)";
"label-cut-period" = "Labels per Cut";
"label-compression" = "Compress Data";
"label-rewinder" = "Rewinder";
"media-type.labels-continuous" = "Continuous labels";
)strings";

// PAPPL's own languages: a page in any of them names our settings in
// English rather than by keyword.
constexpr std::array<const char*, 9> kLanguages{"de", "en", "es", "fr", "it", "ja", "nb-NO", "pl", "tr"};

}  // namespace

void addWebStrings(pappl_system_t* system) {
  // PAPPL 1.3.1 adds printer-strings-languages-supported to the printer's
  // own attributes on every Get-Printer-Attributes while any strings
  // resource is served: the list grows with each request and threads race
  // on it. The words stay in the language tables once loaded, so the
  // resource goes again at once.
  constexpr const char* kPath = "/tmk-label.strings";
  for (const char* language : kLanguages) {
    papplSystemAddStringsData(system, kPath, language, kEnglish);
    papplSystemRemoveResource(system, kPath);
  }
}
