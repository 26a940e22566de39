// Run-length coding of bands: the payload bytes, the run trace and, on
// random bands, that every payload decodes back and stays within 2 x L.
#include "page/rle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/label_stream.h"
#include "support/capture.h"

namespace {

const std::string kT = "TAMRISK Label Driver DEBUG MSG : ";

struct Coded {
  std::vector<uint8_t> payload;
  std::string trace;
};

Coded code(const std::vector<uint8_t>& band, uint32_t rows, uint32_t bytesPerLine) {
  std::vector<uint8_t> payload(2 * band.size() + 8, 0xEE);
  uint32_t length = 0;
  const std::string trace = capture([&] { length = RLECompression(band, payload, rows, bytesPerLine); }).err;
  EXPECT_TRUE(std::all_of(payload.begin() + length, payload.end(), [](uint8_t b) { return b == 0xEE; }))
      << "bytes past the payload were written";
  payload.resize(length);
  return {payload, trace};
}

std::string runLine(const char* value, int count) {
  return kT + "compData = " + value + ", compDataLength = " + std::to_string(count) + "\n";
}

std::string traceOf(const std::string& runs) {
  return kT + "start RLE Compression\n" + runs + kT + "RLE Compression complete\n";
}

std::vector<uint8_t> repeated(size_t count, uint8_t value) { return std::vector<uint8_t>(count, value); }

TEST(RLECompression, ExampleGivesItsPayloadAndOneTraceLinePerRun) {
  const Coded coded = code({0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x01, 0x00}, 2, 4);
  EXPECT_EQ(coded.payload, (std::vector<uint8_t>{0x00, 0x03, 0x7F, 0xFF, 0x02, 0x01, 0x00, 0x01}));
  EXPECT_EQ(coded.trace, traceOf(runLine("0x00", 3) + runLine("0xff", 2) + runLine("0x00", 1)));
}

TEST(RLECompression, RunsStopAt255AndAtTheBandEnd) {
  struct Case {
    std::vector<uint8_t> band;
    std::vector<uint8_t> payload;
  };
  std::vector<uint8_t> zeros20800Payload;
  for (int i = 0; i < 81; ++i) zeros20800Payload.insert(zeros20800Payload.end(), {0x00, 0xFF});
  zeros20800Payload.insert(zeros20800Payload.end(), {0x00, 0x91});
  const std::vector<Case> cases{
      {repeated(255, 0x00), {0x00, 0xFF}},
      {repeated(256, 0x00), {0x00, 0xFF, 0x00, 0x01}},
      {repeated(510, 0xFF), {0xFF, 0xFF, 0xFF, 0xFF}},
      {repeated(20800, 0x00), zeros20800Payload},
      {{0x01, 0x7F, 0x80, 0xFE}, {0x01, 0x7F, 0x80, 0xFE}},
      {{0x00, 0xFF, 0x00, 0xFF}, {0x00, 0x01, 0xFF, 0x01, 0x00, 0x01, 0xFF, 0x01}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(code(c.band, 1, static_cast<uint32_t>(c.band.size())).payload, c.payload) << c.band.size();
  }
  EXPECT_EQ(code(repeated(20800, 0x00), 200, 104).payload.size(), 164u);
}

TEST(RLECompression, RunCrossesRowEndsButNeverPassesTheBand) {
  // Two rows of 3: FF run over the row end; the buffer holds more FF bytes
  // after the band that must not be counted.
  std::vector<uint8_t> band{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x20, 0xFF, 0xFF, 0xFF};
  const Coded coded = code(band, 2, 3);
  EXPECT_EQ(coded.payload, (std::vector<uint8_t>{0x10, 0xFF, 0x04, 0x20}));
  band = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(code(band, 1, 3).payload, (std::vector<uint8_t>{0x10, 0x00, 0x02}));
}

TEST(RLECompression, EmptyBandGivesOnlyTheFrameLines) {
  for (auto [rows, bpl] : {std::pair{0u, 104u}, std::pair{200u, 0u}}) {
    const Coded coded = code({}, rows, bpl);
    EXPECT_TRUE(coded.payload.empty());
    EXPECT_EQ(coded.trace, traceOf(""));
  }
}

TEST(RLECompression, TooSmallBuffersCodeNothing) {
  const std::vector<uint8_t> band(8, 0x00);
  std::vector<uint8_t> payload(15);
  uint32_t length = 1;
  capture([&] { length = RLECompression(band, payload, 2, 4); });
  EXPECT_EQ(length, 0u);
  payload.resize(64);
  capture([&] { length = RLECompression(band, payload, 3, 4); });
  EXPECT_EQ(length, 0u);
}

TEST(RLECompression, RandomBandsDecodeBackWithinTwiceTheirLength) {
  std::mt19937 random(4);
  for (int round = 0; round < 300; ++round) {
    const auto rows = static_cast<uint32_t>(1 + random() % 60);
    const auto bpl = static_cast<uint32_t>(1 + random() % 90);
    std::vector<uint8_t> band(size_t{rows} * bpl);
    // Mostly 0x00 and 0xFF, in runs of any length (short ones as often as
    // long), and stretches of 1 to 11 other bytes between, so that runs
    // start at every place within a word.
    for (size_t i = 0; i < band.size();) {
      const uint32_t kind = random() % 4;
      const uint8_t value = kind == 0 ? 0x00 : kind == 1 ? 0xFF : static_cast<uint8_t>(random());
      const size_t most = kind >= 2 ? 11 : random() % 2 == 0 ? 12 : 600;
      for (size_t n = 1 + random() % most; n > 0 && i < band.size(); --n) band[i++] = value;
    }
    const Coded coded = code(band, rows, bpl);
    ASSERT_LE(coded.payload.size(), 2 * band.size());
    const auto decoded = decodeRle(coded.payload, band.size());
    ASSERT_TRUE(decoded.has_value()) << "round " << round;
    ASSERT_EQ(*decoded, band) << "round " << round;
    // One trace line per run, in payload order.
    std::string runs;
    for (size_t at = 0; at < coded.payload.size(); ++at) {
      const uint8_t b = coded.payload[at];
      if (b == 0x00 || b == 0xFF) runs += runLine(b == 0 ? "0x00" : "0xff", coded.payload[++at]);
    }
    ASSERT_EQ(coded.trace, traceOf(runs));
  }
}

}  // namespace
