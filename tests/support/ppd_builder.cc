#include "support/ppd_builder.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

TestPpd fullTestPpd(int modelNumber) {
  TestPpd ppd;
  ppd.modelNumber = modelNumber;
  ppd.customPageSize = true;
  ppd.customCutter = true;
  ppd.options = {
      {"PageSize", "27", {"0", "5", "27", "48", "53", "54", "55"}},
      {"Resolution", "203dpi", {"203dpi", "300dpi", "600dpi"}},
      {"MediaType", "0", {"0", "1", "2"}},
      {"SensorType", "0", {"0", "1", "2"}},
      {"Rotation", "0", {"0", "1", "2", "3"}},
      {"NumOfCopies", "1", {"1", "2", "3"}},
      {"StatusCheck", "0", {"0", "1"}},
      {"Darkness", "10", {"8", "10", "12"}},
      {"XMargin", "0", {"0", "1", "3"}},
      {"YMargin", "0", {"0", "1", "3"}},
      {"PrintSpeed", "4", {"2", "4", "5"}},
      {"BMOffset", "0", {"0", "2", "3"}},
      {"TOOffset", "0", {"0", "3"}},
      {"Cutter", "0", {"0", "1"}},
      {"Rewinder", "0", {"0", "1"}},
      {"CompPrinting", "0", {"0", "1"}},
  };
  return ppd;
}

void setDefault(TestPpd& ppd, const std::string& keyword, const std::string& choice) {
  for (PpdOption& option : ppd.options) {
    if (option.keyword == keyword) {
      option.defaultChoice = choice;
      return;
    }
  }
  throw std::invalid_argument("no option " + keyword);
}

void removeOption(TestPpd& ppd, const std::string& keyword) {
  std::erase_if(ppd.options, [&](const PpdOption& option) { return option.keyword == keyword; });
}

std::string makePpd(const TestPpd& ppd) {
  std::ostringstream text;
  text << "*PPD-Adobe: \"4.3\"\n"
         "*FormatVersion: \"4.3\"\n"
         "*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n"
         "*LanguageEncoding: ISOLatin1\n"
         "*PCFileName: \"TMKTEST.PPD\"\n"
         "*Manufacturer: \"Tamrisk\"\n"
         "*Product: \"(Test Label Printer)\"\n"
         "*ModelName: \"Test Label Printer\"\n"
         "*ShortNickName: \"Test Label Printer\"\n"
         "*NickName: \"Test Label Printer\"\n"
         "*cupsVersion: 2.4\n"
         "*cupsModelNumber: "
      << ppd.modelNumber
      << "\n"
         "*cupsFilter: \"application/vnd.cups-raster 0 rastertoTmkLabel\"\n";
  for (const PpdOption& option : ppd.options) {
    text << "*OpenUI *" << option.keyword << "/" << option.keyword << ": PickOne\n";
    text << "*Default" << option.keyword << ": " << option.defaultChoice << "\n";
    for (const std::string& choice : option.choices) {
      text << "*" << option.keyword << " " << choice << "/" << choice << ": \"\"\n";
    }
    text << "*CloseUI: *" << option.keyword << "\n";
  }
  if (ppd.customPageSize) {
    text << "*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImagingBBox null>>setpagedevice\"\n"
           "*ParamCustomPageSize Width: 1 points 36 864\n"
           "*ParamCustomPageSize Height: 2 points 36 3600\n"
           "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
           "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
           "*ParamCustomPageSize Orientation: 5 int 0 3\n";
  }
  if (ppd.customCutter) {
    text << "*CustomCutter True: \"\"\n"
           "*ParamCustomCutter CutPeriod/Cut Period: 1 int 0 100\n";
  }
  text << ppd.extra;
  return text.str();
}
