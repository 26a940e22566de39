// The setup and control commands: their exact bytes on standard output and
// the trace line that follows each on standard error.
#include "commands/commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "settings/settings.h"
#include "support/capture.h"

namespace {

const std::string kT = "TAMRISK Label Driver DEBUG MSG : ";

// Runs an emitter at `dots` dots per millimetre.
Captured emitAt(float dots, const std::function<void()>& emitter) {
  Dot = dots;
  return capture(emitter);
}

struct Case {
  const char* name;
  float dot;
  std::function<void()> emitter;
  std::string out;
  std::string err;
};

void expectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Captured got = emitAt(c.dot, c.emitter);
    EXPECT_EQ(got.out, c.out) << c.name;
    EXPECT_EQ(got.err, c.err) << c.name;
  }
}

TEST(Commands, LengthCarriesTheOffsetInSlUpToModel37AndInSaAbove) {
  const std::string sl = kT + "setLength() : SL";
  expectCases({
      {"34, no offset", 8.0f, [] { setLength(0, 406, 0, 34); }, "SL406,24,G\r\n", sl + "406,24,G,0\n"},
      {"34, offset 3", 8.0f, [] { setLength(0, 406, 3, 34); }, "SL406,24,G,24\r\n", sl + "406,24,G,24\n"},
      {"34, offset -1", 8.0f, [] { setLength(0, 406, -1, 34); }, "SL406,24,G,-8\r\n", sl + "406,24,G,-8\n"},
      {"37, sensor 2", 8.0f, [] { setLength(2, 406, 3, 37); }, "SL406,24,B,24\r\n", sl + "406,24,B,24\n"},
      {"38, offset 3", 8.0f, [] { setLength(2, 406, 3, 38); }, "SL406,24,B\r\nSA24\r\n",
       sl + "406,24,B,24\n" + kT + "setLength() : SA24\n"},
      {"38, no offset", 8.0f, [] { setLength(1, 406, 0, 38); }, "SL406,24,C\r\nSA0\r\n",
       sl + "406,24,C,0\n" + kT + "setLength() : SA0\n"},
      {"292, offset -1 at 11.8", 11.8f, [] { setLength(-1, -1, -1, 292); }, "SL-1,24,B\r\nSA-11\r\n",
       sl + "-1,24,B,-11\n" + kT + "setLength() : SA-11\n"},
      // A negative model number is below the threshold, not above it.
      {"model -1", 8.0f, [] { setLength(0, 203, 2, -1); }, "SL203,24,G,16\r\n", sl + "203,24,G,16\n"},
      // The 24 stays 24 at every resolution; 1 mm at 23.6 truncates to 23.
      {"24 is not scaled", 23.6f, [] { setLength(0, 1, 1, 5); }, "SL1,24,G,23\r\n", sl + "1,24,G,23\n"},
  });
}

TEST(Commands, MillimetreValuesTruncateTowardZeroInSinglePrecision) {
  expectCases({
      {"SM 3,0 at 11.8", 11.8f, [] { setMargin(3, 0); }, "SM35,0\r\n", kT + "setMargin() : SM35,0\n"},
      {"SM -3,7 at 23.6", 23.6f, [] { setMargin(-3, 7); }, "SM-70,165\r\n", kT + "setMargin() : SM-70,165\n"},
      {"SM -1,-1 at 8", 8.0f, [] { setMargin(-1, -1); }, "SM-8,-8\r\n", kT + "setMargin() : SM-8,-8\n"},
      {"TA -3 at 11.8", 11.8f, [] { setToOffset(-3); }, "TA-35\r\n", kT + "setToOffset() : TA-35\n"},
      {"TA 7 at 23.6", 23.6f, [] { setToOffset(7); }, "TA165\r\n", kT + "setToOffset() : TA165\n"},
      {"TA 0", 11.8f, [] { setToOffset(0); }, "TA0\r\n", kT + "setToOffset() : TA0\n"},
      // A hostile value saturates instead of being undefined.
      {"TA huge", 23.6f, [] { setToOffset(2147483647); }, "TA2147483647\r\n",
       kT + "setToOffset() : TA2147483647\n"},
      {"TA huge negative", 23.6f, [] { setToOffset(-2147483647 - 1); }, "TA-2147483648\r\n",
       kT + "setToOffset() : TA-2147483648\n"},
  });
}

TEST(Commands, PlainValuesAreWrittenAsStored) {
  expectCases({
      {"SW", 8.0f, [] { setWidth(832); }, "SW832\r\n", kT + "setWidth() : SW832\n"},
      {"SW -1", 8.0f, [] { setWidth(-1); }, "SW-1\r\n", kT + "setWidth() : SW-1\n"},
      {"SD", 11.8f, [] { setDarkness(10); }, "SD10\r\n", kT + "setDarkness() : SD10\n"},
      {"SD -1", 11.8f, [] { setDarkness(-1); }, "SD-1\r\n", kT + "setDarkness() : SD-1\n"},
      {"SS", 23.6f, [] { setSpeed(4); }, "SS4\r\n", kT + "setSpeed() : SS4\n"},
      {"SS -1", 23.6f, [] { setSpeed(-1); }, "SS-1\r\n", kT + "setSpeed() : SS-1\n"},
  });
}

TEST(Commands, MediaTypeOnlyForItsTwoValues) {
  expectCases({
      {"0", 8.0f, [] { setMediaType(0); }, "STd\r\n", kT + "setMediaType() : STd\n"},
      {"1", 8.0f, [] { setMediaType(1); }, "STt\r\n", kT + "setMediaType() : STt\n"},
      {"2", 8.0f, [] { setMediaType(2); }, "", ""},
      {"-1", 8.0f, [] { setMediaType(-1); }, "", ""},
  });
}

TEST(Commands, CutterTestsOnlyTheMode) {
  const std::string mode = kT + "cutterMode = ";
  expectCases({
      {"1,1", 8.0f, [] { setCutter(1, 1); }, "CUTy,1\r\n", kT + "setCutter() : CUTy\n" + mode + "1\n"},
      {"-1,5", 8.0f, [] { setCutter(-1, 5); }, "CUTy,5\r\n", kT + "setCutter() : CUTy\n" + mode + "-1\n"},
      {"2,-1", 8.0f, [] { setCutter(2, -1); }, "CUTy,-1\r\n", kT + "setCutter() : CUTy\n" + mode + "2\n"},
      {"0,5", 8.0f, [] { setCutter(0, 5); }, "CUTn\r\n", kT + "setCutter() : CUTn\n" + mode + "0\n"},
      {"0,0", 8.0f, [] { setCutter(0, 0); }, "CUTn\r\n", kT + "setCutter() : CUTn\n" + mode + "0\n"},
  });
}

TEST(Commands, RewinderOnlyForOne) {
  expectCases({
      {"1", 8.0f, [] { setRewinder(1); }, "RWDy\r\n", kT + "setRewinder() : RWDy\n"},
      {"0", 8.0f, [] { setRewinder(0); }, "RWDn\r\n", kT + "setRewinder() : RWDn\n"},
      {"2", 8.0f, [] { setRewinder(2); }, "RWDn\r\n", kT + "setRewinder() : RWDn\n"},
      {"-1", 8.0f, [] { setRewinder(-1); }, "RWDn\r\n", kT + "setRewinder() : RWDn\n"},
  });
}

TEST(Commands, HalfTurnIsSobWithoutTrace) {
  expectCases({{"SOB", 8.0f, [] { rotate180Degree(); }, "SOB\r\n", ""}});
}

TEST(Commands, EmittersNeverFlushStandardOutput) {
  off_t sizeInside = -1;
  const Captured got = emitAt(8.0f, [&] {
    setLength(0, 406, 3, 38);
    setWidth(832);
    setMediaType(0);
    setDarkness(10);
    setMargin(1, 1);
    setSpeed(4);
    setToOffset(1);
    setRewinder(1);
    setCutter(1, 2);
    rotate180Degree();
    struct stat info {};
    fstat(1, &info);
    sizeInside = info.st_size;
  });
  EXPECT_EQ(sizeInside, 0);
  EXPECT_EQ(got.out, "SL406,24,G\r\nSA24\r\nSW832\r\nSTd\r\nSD10\r\nSM8,8\r\nSS4\r\nTA8\r\nRWDy\r\nCUTy,2\r\nSOB\r\n");
}

}  // namespace
