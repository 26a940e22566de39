// The settings record as the PPD and the job options fill it, with its trace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "settings/ppd_options.h"
#include "settings/settings.h"
#include "support/capture.h"
#include "support/ppd_builder.h"
#include "support/temp_dir.h"

namespace {

const std::string kT = "TAMRISK Label Driver DEBUG MSG : ";

struct Loaded {
  settings_t settings{};
  int result = -1;
  std::string err;
};

Loaded load(const std::string& ppdText, const char* options = "") {
  TempDir dir;
  setenv("PPD", dir.write("test.ppd", ppdText).c_str(), 1);
  Loaded loaded;
  loaded.err = capture([&] { loaded.result = initializeSettings(options, &loaded.settings); }).err;
  unsetenv("PPD");
  return loaded;
}

std::string choiceLine(const std::string& choice) { return kT + "getOptionChoice = " + choice + "\n"; }

// The field lines that close the trace, given the values in trace order.
std::string fieldLines(const settings_t& s, bool rewinder) {
  std::string lines;
  auto add = [&](const char* label, int value) { lines += kT + label + std::to_string(value) + "\n"; };
  add("settings->modelNumer \t: ", s.modelNumber);
  add("settings->pageSize   \t: ", s.pageSize);
  add("settings->resolution  : ", s.resolution);
  add("settings->mediaType  \t: ", s.mediaType);
  add("settings->sensorType \t: ", s.sensorType);
  add("settings->rotation   \t: ", s.rotation);
  add("settings->numOfCopies\t: ", s.numOfCopies);
  add("settings->darkness   \t: ", s.darkness);
  add("settings->xMargin   \t: ", s.xMargin);
  add("settings->yMargin   \t: ", s.yMargin);
  add("settings->printSpeed \t: ", s.printSpeed);
  add("settings->bmOffset   \t: ", s.bmOffset);
  add("settings->toOffset   \t: ", s.toOffset);
  add("settings->cutter   \t: ", s.cutter);
  add("settings->cutPeriod  \t: ", s.cutPeriod);
  if (rewinder) add("settings->rewinder \t: ", s.rewinder);
  add("settings->compressed \t: ", s.compressed);
  return lines + "===================================================\n";
}

TEST(Settings, PpdWithEveryOptionGivesItsDefaultsAndTheFullTrace) {
  const Loaded loaded = load(makePpd(fullTestPpd(34)));
  ASSERT_EQ(loaded.result, 0);
  const settings_t& s = loaded.settings;
  EXPECT_EQ(s.modelNumber, 34);
  EXPECT_EQ(s.pageSize, 27);
  EXPECT_EQ(s.customWidth, 0.0f);  // a custom size exists but is not chosen
  EXPECT_EQ(s.customHeight, 0.0f);
  EXPECT_EQ(s.resolution, 203);
  EXPECT_EQ(Dot, 8.0f);
  EXPECT_EQ(s.darkness, 10);
  EXPECT_EQ(s.printSpeed, 4);
  EXPECT_EQ(s.numOfCopies, 1);
  EXPECT_EQ(s.cutter, 0);
  EXPECT_EQ(s.cutPeriod, 0);
  EXPECT_EQ(s.rewinder, 0);  // not read outside the rewinder group
  EXPECT_EQ(s.lengthDot, 0);
  EXPECT_EQ(s.widthDot, 0);

  const std::string expected =
      choiceLine("27") + "TAMRISK DEBUG MSG : custom Width is 0.000000\n" +
      "TAMRISK DEBUG MSG : custom Height is 0.000000\n" + choiceLine("203dpi") + choiceLine("0") + choiceLine("0") +
      choiceLine("0") + choiceLine("1") + choiceLine("0") + choiceLine("10") + choiceLine("0") + choiceLine("0") +
      choiceLine("4") + choiceLine("0") + choiceLine("0") + choiceLine("0") + choiceLine("0") + fieldLines(s, false);
  EXPECT_EQ(loaded.err, expected);
}

TEST(Settings, PpdWithoutOptionsLeavesMinusOneEverywhere) {
  TestPpd ppd;
  ppd.modelNumber = 292;
  const Loaded loaded = load(makePpd(ppd));
  ASSERT_EQ(loaded.result, 0);
  const settings_t& s = loaded.settings;
  for (int32_t field : {s.pageSize, s.resolution, s.mediaType, s.sensorType, s.rotation, s.numOfCopies,
                        s.statusCheck, s.darkness, s.xMargin, s.yMargin, s.printSpeed, s.bmOffset, s.toOffset,
                        s.cutter, s.cutPeriod, s.rewinder, s.compressed}) {
    EXPECT_EQ(field, -1);
  }
  EXPECT_EQ(s.customWidth, -1.0f);
  EXPECT_EQ(s.customHeight, -1.0f);
  EXPECT_EQ(Dot, 23.6f);
  const std::string expected = "TAMRISK DEBUG MSG : ppd option is NULL\n"
                               "TAMRISK DEBUG MSG : ppd option is NULL\n"
                               "TAMRISK DEBUG MSG : ppd option is NULL\n" +
                               fieldLines(s, true);
  EXPECT_EQ(loaded.err, expected);
}

TEST(Settings, RewinderIsReadAndTracedOnlyForTheRewinderGroup) {
  for (int model : {142, 143, 150, 292, 293}) {
    TestPpd ppd = fullTestPpd(model);
    setDefault(ppd, "Rewinder", "1");
    const Loaded loaded = load(makePpd(ppd));
    EXPECT_EQ(loaded.settings.rewinder, 1) << model;
    EXPECT_NE(loaded.err.find("settings->rewinder \t: 1\n"), std::string::npos) << model;
  }
  for (int model : {144, 34}) {
    TestPpd ppd = fullTestPpd(model);
    setDefault(ppd, "Rewinder", "1");
    const Loaded loaded = load(makePpd(ppd));
    EXPECT_EQ(loaded.settings.rewinder, 0) << model;
    EXPECT_EQ(loaded.err.find("rewinder"), std::string::npos) << model;
  }
}

TEST(Settings, ResolutionSetsDotsPerMillimetre) {
  struct Case {
    const char* choice;
    int32_t resolution;
    float dot;
  };
  for (const Case& c : {Case{"203dpi", 203, 8.0f}, Case{"300dpi", 300, 11.8f}, Case{"600dpi", 600, 23.6f}}) {
    TestPpd ppd = fullTestPpd();
    setDefault(ppd, "Resolution", c.choice);
    const Loaded loaded = load(makePpd(ppd));
    EXPECT_EQ(loaded.settings.resolution, c.resolution);
    EXPECT_EQ(Dot, c.dot) << c.choice;
  }
  TestPpd ppd = fullTestPpd();
  removeOption(ppd, "Resolution");
  const Loaded loaded = load(makePpd(ppd));
  EXPECT_EQ(loaded.settings.resolution, -1);
  EXPECT_EQ(Dot, 23.6f);
}

TEST(Settings, JobOptionsOverrideThePpdDefaults) {
  const Loaded loaded =
      load(makePpd(fullTestPpd()), "Darkness=12 Rotation=3 PageSize=53 NumOfCopies=3 Cutter=1 media=ignored");
  EXPECT_EQ(loaded.settings.darkness, 12);
  EXPECT_EQ(loaded.settings.rotation, 3);
  EXPECT_EQ(loaded.settings.pageSize, 53);
  EXPECT_EQ(loaded.settings.numOfCopies, 3);
  EXPECT_EQ(loaded.settings.cutter, 1);
}

TEST(Settings, CustomPageSizeIsTruncatedToWholePoints) {
  const Loaded loaded = load(makePpd(fullTestPpd()), "PageSize=Custom.144.5x288.9");
  EXPECT_EQ(loaded.settings.pageSize, 144);
  EXPECT_EQ(loaded.settings.customWidth, 144.0f);
  EXPECT_EQ(loaded.settings.customHeight, 288.0f);
  EXPECT_NE(loaded.err.find("TAMRISK DEBUG MSG : custom Width is 144.500000\n"), std::string::npos);
  // The custom choice also makes PageSize a custom option: its first
  // parameter's value read as an integer.
  EXPECT_NE(loaded.err.find(choiceLine("Custom") + kT + "keyword = PageSize\n" + kT +
                            "start custom option function\n" + kT + "cOption not NULL\n" + kT +
                            "cParam not NULL, name = Width\n"),
            std::string::npos);
}

TEST(Settings, LowerCaseCustomCutterGivesItsPeriod) {
  const Loaded loaded = load(makePpd(fullTestPpd()), "Cutter=custom.5");
  EXPECT_EQ(loaded.settings.cutter, 5);
  EXPECT_EQ(loaded.settings.cutPeriod, 5);
  EXPECT_NE(loaded.err.find(choiceLine("Custom") + kT + "keyword = Cutter\n" + kT + "start custom option function\n" +
                            kT + "cOption not NULL\n" + kT + "cParam not NULL, name = Cut Period\n"),
            std::string::npos);
}

// The first custom parameter is read as the type the PPD declares: numbers
// truncated toward zero and saturated, texts by their leading integer.
TEST(Settings, CustomCutPeriodIsReadAsItsDeclaredType) {
  struct Case {
    const char* type;
    const char* value;
    int32_t period;
  };
  const std::vector<Case> cases{
      {"int", "3", 3},          {"real", "3.9", 3},         {"real", "-2.5", -2},
      {"real", "1e20", INT32_MAX}, {"points", "7.5", 7},    {"curve", "2.2", 2},
      {"invcurve", "1.5", 1},   {"string", "12abc", 12},    {"string", "abc", -1},
      {"password", "42", 42},   {"passcode", "0815", 815},  {"string", "99999999999", INT32_MAX},
  };
  for (const Case& c : cases) {
    TestPpd ppd = fullTestPpd();
    ppd.customCutter = false;
    ppd.extra = std::string("*CustomCutter True: \"\"\n*ParamCustomCutter CutPeriod/Cut Period: 1 ") + c.type +
                " -1000000 1000000\n";
    const Loaded loaded = load(makePpd(ppd), (std::string("Cutter=Custom.") + c.value).c_str());
    EXPECT_EQ(loaded.settings.cutPeriod, c.period) << c.type << " " << c.value;
    EXPECT_EQ(loaded.settings.cutter, c.period) << c.type << " " << c.value;
  }
}

TEST(Settings, MissingPpdIsReportedAndFails) {
  unsetenv("PPD");
  settings_t s{};
  int result = 0;
  std::string err = capture([&] { result = initializeSettings("", &s); }).err;
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err, "ERROR: No PPD file: the PPD environment variable is not set.\n");

  setenv("PPD", "/nonexistent/printer.ppd", 1);
  err = capture([&] { result = initializeSettings("", &s); }).err;
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err, "ERROR: Unable to open the PPD file \"/nonexistent/printer.ppd\": No such file or directory\n");

  const Loaded notPpd = load("this is not a PPD file\n");
  EXPECT_EQ(notPpd.result, 1);
  EXPECT_EQ(notPpd.err.rfind("ERROR: Unable to read the PPD file \"", 0), 0u) << notPpd.err;
  unsetenv("PPD");
}

TEST(Settings, JobSetupAcceptsExactlyTheSupportedModels) {
  int supported = 0;
  for (int32_t model = -5; model < 400; ++model) {
    int result = -1;
    const std::string err = capture([&] { result = jobSetup(model); }).err;
    const std::string line = kT + "model number = " + std::to_string(model) + "\n";
    if (result == 0) {
      ++supported;
      EXPECT_EQ(err, line);
    } else {
      EXPECT_EQ(err, line + kT + "This printer is not supported.\n");
    }
  }
  EXPECT_EQ(supported, 42);
  EXPECT_EQ(jobSetup(158) + jobSetup(157), 0);
  EXPECT_EQ(jobSetup(146), 1);
}

// The readers on their own, against a PPD whose options are marked by hand.
class OptionReaders : public ::testing::Test {
 protected:
  void open(const std::string& text) {
    path_ = dir_.write("r.ppd", text);
    ppd_ = ppdOpenFile(path_.c_str());
    ASSERT_NE(ppd_, nullptr);
    ppdMarkDefaults(ppd_);
  }
  void TearDown() override {
    if (ppd_ != nullptr) ppdClose(ppd_);
  }
  TempDir dir_;
  std::string path_;
  ppd_file_t* ppd_ = nullptr;
};

TEST_F(OptionReaders, NumberAtTheStartOfTheChoiceKeyword) {
  TestPpd ppd;
  ppd.options = {{"Resolution", "300dpi", {"203dpi", "300dpi"}},
                  {"MediaType", "None", {"None", "1"}},
                  {"Darkness", "Nonexistent", {"8", "10"}}};
  open(makePpd(ppd));
  int32_t value = 0;
  std::string err = capture([&] { value = getOptionChoiceIndex("Resolution", ppd_); }).err;
  EXPECT_EQ(value, 300);
  EXPECT_EQ(err, choiceLine("300dpi"));
  EXPECT_EQ(getOptionChoiceIndex("MediaType", ppd_), 0);
  ppdMarkOption(ppd_, "MediaType", "1");
  EXPECT_EQ(getOptionChoiceIndex("MediaType", ppd_), 1);
  // No marked choice and a default that names none, or no option at all: -1
  // without a trace line.
  err = capture([&] { value = getOptionChoiceIndex("Darkness", ppd_); }).err;
  EXPECT_EQ(value, -1);
  EXPECT_EQ(err, "");
  err = capture([&] { value = getOptionChoiceIndex("PrintSpeed", ppd_); }).err;
  EXPECT_EQ(value, -1);
  EXPECT_EQ(err, "");
}

TEST_F(OptionReaders, NumbersBeyondThirtyTwoBitsSaturate) {
  TestPpd ppd;
  ppd.options = {{"Darkness", "4294967297", {"4294967297", "-4294967297"}}};
  open(makePpd(ppd));
  EXPECT_EQ(getOptionChoiceIndex("Darkness", ppd_), INT32_MAX);
  ppdMarkOption(ppd_, "Darkness", "-4294967297");
  EXPECT_EQ(getOptionChoiceIndex("Darkness", ppd_), INT32_MIN);
}

TEST_F(OptionReaders, CustomParameterOfAnOptionWithoutCustomForm) {
  TestPpd ppd;
  ppd.options = {{"Cutter", "1", {"0", "1"}}};
  open(makePpd(ppd));
  int32_t value = 0;
  EXPECT_EQ(capture([&] { value = getCustomParam("Cutter", ppd_); }).err, "TAMRISK DEBUG MSG : ppd option is NULL\n");
  EXPECT_EQ(value, -1);
  EXPECT_EQ(capture([&] { value = getCustomOptionChoiceIndex("Cutter", ppd_); }).err,
            kT + "start custom option function\n");
  EXPECT_EQ(value, -1);
}

TEST_F(OptionReaders, CustomPageParameterByName) {
  open(makePpd(fullTestPpd()));
  ppdMarkOption(ppd_, "PageSize", "Custom.144.5x-0.5");
  int32_t value = 0;
  std::string err = capture([&] { value = getCustomPageParam("PageSize", "Width", ppd_); }).err;
  EXPECT_EQ(value, 144);
  EXPECT_EQ(err, "TAMRISK DEBUG MSG : custom Width is 144.500000\n");
  err = capture([&] { value = getCustomPageParam("PageSize", "Depth", ppd_); }).err;
  EXPECT_EQ(value, -1);
  EXPECT_EQ(err, "TAMRISK DEBUG MSG : custom param is NULL\n");
}

}  // namespace
