// The PPDs the build compiles: one per model of the filter's table, clean for
// cupstestppd, and every option in the form the filter's readers take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands/page_size.h"
#include "settings/cups_ppd.h"
#include "settings/models.h"
#include "settings/settings.h"
#include "support/capture.h"
#include "support/temp_dir.h"

#include <cups/raster.h>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> generatedPpds() {
  std::vector<std::string> paths;
  for (const auto& entry : fs::directory_iterator(TMK_PPD_BUILD_DIR)) {
    if (entry.path().extension() == ".ppd") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

Ppd openPpd(const std::string& path) {
  Ppd ppd(ppdOpenFile(path.c_str()));
  if (ppd != nullptr) ppdMarkDefaults(ppd.get());
  return ppd;
}

// The number at the start of a choice keyword, as the filter takes it.
int32_t leadingNumber(const char* keyword, bool* ok) {
  char* end = nullptr;
  const long value = std::strtol(keyword, &end, 10);
  *ok = end != keyword;
  return static_cast<int32_t>(value);
}

settings_t settingsFrom(const std::string& ppd, const char* options) {
  settings_t settings{};
  setenv("PPD", ppd.c_str(), 1);
  capture([&] { EXPECT_EQ(initializeSettings(options, &settings), 0); });
  unsetenv("PPD");
  return settings;
}

TEST(GeneratedPpds, OneForEachModelOfTheTableNamedAfterIt) {
  std::multiset<int32_t> models;
  for (const std::string& path : generatedPpds()) {
    Ppd ppd = openPpd(path);
    ASSERT_NE(ppd, nullptr) << path;
    models.insert(ppd->model_number);
    EXPECT_EQ(fs::path(path).filename(), "tmk" + std::to_string(ppd->model_number) + ".ppd");
  }
  EXPECT_EQ(models, std::multiset<int32_t>(kSupportedModels.begin(), kSupportedModels.end()));
}

// cupstestppd finds the filter through CUPS_SERVERBIN; as root it also wants
// the filter and its folder owned by root and writable by root alone.
TEST(GeneratedPpds, PassCupstestppdWithNoWarningButTheSizeNames) {
  TempDir serverBin;
  fs::create_directory(serverBin.path() + "/filter");
  fs::create_symlink(TMK_FILTER_PATH, serverBin.path() + "/filter/rastertoTmkLabel");
  std::string command = "CUPS_SERVERBIN=" + serverBin.path() + " " TMK_CUPSTESTPPD;
  const std::vector<std::string> ppds = generatedPpds();
  for (const std::string& path : ppds) command += " " + path;
  command += " 2>&1";

  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  EXPECT_EQ(pclose(pipe), 0) << output;

  // Our size keywords start with the filter's index, not an Adobe name.
  size_t passed = 0;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    if (line.ends_with(".ppd: PASS")) {
      ++passed;
    } else if (!line.empty()) {
      EXPECT_NE(line.find("WARN    Size \""), std::string::npos) << line;
      EXPECT_NE(line.find("should be the Adobe standard name"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(passed, ppds.size()) << output;
}

// What every PPD promises the filter and the prefilters.
TEST(GeneratedPpds, DescribeTheirModelInTheFormTheFilterReads) {
  // The values each option may take, as the filter reads them; empty: any.
  const std::map<std::string, std::set<int32_t>> options{
      {"Resolution", {203, 300, 600}}, {"MediaType", {0, 1}},     {"SensorType", {0, 1, 2}},
      {"Rotation", {0, 1, 2, 3}},      {"NumOfCopies", {}},       {"StatusCheck", {0, 1}},
      {"Darkness", {}},                {"XMargin", {}},           {"YMargin", {}},
      {"PrintSpeed", {}},              {"BMOffset", {}},          {"TOOffset", {}},
      {"Cutter", {0}},                 {"CompPrinting", {0, 1}},  {"RunTrace", {0, 1}},
      {"Rewinder", {0, 1}},            {"PageSize", {}}};
  for (const std::string& path : generatedPpds()) {
    SCOPED_TRACE(path);
    Ppd ppd = openPpd(path);
    ASSERT_NE(ppd, nullptr);
    ASSERT_EQ(ppd->num_filters, 1);
    EXPECT_STREQ(ppd->filters[0], "application/vnd.cups-raster 0 rastertoTmkLabel");
    EXPECT_EQ(ppd->manual_copies, 1) << "the filter makes the copies from NumOfCopies";
    EXPECT_EQ(ppdFindOption(ppd.get(), "Rewinder") != nullptr, isRewinderModel(ppd->model_number));

    for (const auto& [keyword, values] : options) {
      if (keyword == "Rewinder" && !isRewinderModel(ppd->model_number)) continue;
      ppd_option_t* option = ppdFindOption(ppd.get(), keyword.c_str());
      ASSERT_NE(option, nullptr) << keyword;
      EXPECT_NE(ppdFindChoice(option, option->defchoice), nullptr) << keyword;
      std::set<int32_t> seen;
      for (int i = 0; i < option->num_choices; ++i) {
        const ppd_choice_t& choice = option->choices[i];
        if (std::string_view(choice.choice) == "Custom") continue;  // libcups adds it for a custom form
        bool ok = false;
        const int32_t value = leadingNumber(choice.choice, &ok);
        EXPECT_TRUE(ok) << keyword << " " << choice.choice;
        EXPECT_TRUE(values.empty() || values.contains(value)) << keyword << " " << choice.choice;
        EXPECT_TRUE(seen.insert(value).second) << keyword << " " << choice.choice << " twice";
        EXPECT_NE(choice.text[0], '\0') << keyword << " " << choice.choice;
      }
    }
    EXPECT_STREQ(ppdFindOption(ppd.get(), "RunTrace")->defchoice, "0_Off");

    // Custom forms: the first parameter is what the filter takes.
    for (const char* keyword : {"Cutter", "NumOfCopies"}) {
      ppd_coption_t* custom = ppdFindCustomOption(ppd.get(), keyword);
      ASSERT_NE(custom, nullptr) << keyword;
      ppd_cparam_t* first = ppdFirstCustomParam(custom);
      ASSERT_NE(first, nullptr) << keyword;
      EXPECT_EQ(first->type, PPD_CUSTOM_INT) << keyword;
      EXPECT_EQ(first->minimum.custom_int, 1) << keyword;
    }
    // Without a custom page size the filter would take -1 x -1 points.
    EXPECT_EQ(ppd->variable_sizes, 1);

    // The prefilters render 1-bit black at the chosen resolution.
    for (const int dpi : {203, 300, 600}) {
      const std::string choice = std::to_string(dpi) + "dpi";
      ppdMarkOption(ppd.get(), "Resolution", choice.c_str());
      cups_page_header2_t header{};
      ASSERT_EQ(cupsRasterInterpretPPD(&header, ppd.get(), 0, nullptr, nullptr), 0) << choice;
      EXPECT_EQ(header.cupsBitsPerColor, 1u) << choice;
      EXPECT_EQ(header.cupsColorSpace, CUPS_CSPACE_K) << choice;
      EXPECT_EQ(header.HWResolution[0], static_cast<unsigned>(dpi)) << choice;
    }
  }
}

// Each standard size's width and length in points, at each resolution, give
// the dots the filter sends in SW and SL for that size's index.
TEST(GeneratedPpds, StandardSizesAreTheFiltersLabelSizes) {
  for (const std::string& path : generatedPpds()) {
    SCOPED_TRACE(path);
    Ppd ppd = openPpd(path);
    ASSERT_NE(ppd, nullptr);
    ppd_option_t* pageSize = ppdFindOption(ppd.get(), "PageSize");
    ASSERT_NE(pageSize, nullptr);
    std::set<int32_t> indexes;
    for (int i = 0; i < pageSize->num_choices; ++i) {
      const char* keyword = pageSize->choices[i].choice;
      if (std::string_view(keyword) == "Custom") continue;
      bool ok = false;
      const int32_t index = leadingNumber(keyword, &ok);
      EXPECT_TRUE(ok && indexes.insert(index).second) << keyword;
      ppd_size_t* size = ppdPageSize(ppd.get(), keyword);
      ASSERT_NE(size, nullptr) << keyword;
      for (const int32_t dpi : {203, 300, 600}) {
        Dot = dotsPerMillimetre(dpi);
        int32_t length = -1;
        int32_t width = -1;
        convertPageSize(index, &length, &width);
        const auto dots = [](double points) {
          return static_cast<int32_t>(static_cast<double>(Dot) * (points / 72.0 * 25.4));
        };
        EXPECT_EQ(dots(size->width), width) << keyword << " at " << dpi << " dpi";
        EXPECT_EQ(dots(size->length), length) << keyword << " at " << dpi << " dpi";
      }
    }
    EXPECT_EQ(indexes.size(), 56u);
    EXPECT_EQ(*indexes.begin(), 0);
    EXPECT_EQ(*indexes.rbegin(), 55);
  }
}

// The filter's own settings reader on each PPD: its defaults give a standard
// size (no custom width or height), and the custom forms reach the settings.
TEST(GeneratedPpds, DefaultsAndCustomFormsReachTheSettings) {
  for (const std::string& path : generatedPpds()) {
    SCOPED_TRACE(path);
    const settings_t defaults = settingsFrom(path, "");
    EXPECT_EQ(jobSetup(defaults.modelNumber), 0);
    EXPECT_EQ(defaults.pageSize, 9);
    EXPECT_EQ(defaults.customWidth, 0.0f);
    EXPECT_EQ(defaults.customHeight, 0.0f);
    EXPECT_EQ(defaults.resolution, 203);
    EXPECT_EQ(defaults.numOfCopies, 1);
    EXPECT_EQ(defaults.cutter, 0);
    EXPECT_EQ(defaults.statusCheck, 0);
    EXPECT_EQ(defaults.runTrace, 0);

    const settings_t custom =
        settingsFrom(path, "PageSize=Custom.200x300 Cutter=Custom.3 NumOfCopies=Custom.25 Rewinder=1");
    EXPECT_EQ(custom.customWidth, 200.0f);
    EXPECT_EQ(custom.customHeight, 300.0f);
    EXPECT_EQ(custom.cutter, 3);
    EXPECT_EQ(custom.cutPeriod, 3);
    EXPECT_EQ(custom.numOfCopies, 25);
    EXPECT_EQ(custom.rewinder, isRewinderModel(custom.modelNumber) ? 1 : 0);
  }
}

}  // namespace
