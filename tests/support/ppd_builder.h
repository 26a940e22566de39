// Small PPD files for tests, built from a readable description.
#pragma once

#include <string>
#include <vector>

struct PpdOption {
  std::string keyword;
  std::string defaultChoice;  // may name no choice at all
  std::vector<std::string> choices;
};

struct TestPpd {
  int modelNumber = 34;
  std::vector<PpdOption> options;
  bool customPageSize = false;  // *CustomPageSize with Width and Height in points
  bool customCutter = false;    // *CustomCutter with one integer parameter
  std::string extra;            // appended verbatim
};

// Every option the filter reads, with plain numeric choices, custom page
// size and custom cut period. Defaults: PageSize 27, Resolution 203dpi,
// MediaType 0, SensorType 0, Rotation 0, NumOfCopies 1, StatusCheck 0,
// Darkness 10, XMargin 0, YMargin 0, PrintSpeed 4, BMOffset 0, TOOffset 0,
// Cutter 0, Rewinder 0, CompPrinting 0.
TestPpd fullTestPpd(int modelNumber = 34);

// Replaces the default choice of `keyword` in `ppd` (the option must exist).
void setDefault(TestPpd& ppd, const std::string& keyword, const std::string& choice);

// Drops the option `keyword` from `ppd`.
void removeOption(TestPpd& ppd, const std::string& keyword);

std::string makePpd(const TestPpd& ppd);
