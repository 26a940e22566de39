// Micro-benchmarks of the page path: the run-length coder, the quarter turns
// (beside a plain one-gather-per-pixel turn as the baseline) and one whole
// page through printPage. Standard output and standard error go to /dev/null
// with the filter's buffering, so trace formatting is part of the cost.
#include <benchmark/benchmark.h>
#include <cups/raster.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <cstring>
#include <random>
#include <vector>

#include "page/print_page.h"
#include "page/rle.h"
#include "page/rotation.h"
#include "settings/settings.h"

namespace {

constexpr uint32_t kBandRows = 200;

// The filter's own streams go to /dev/null, fully buffered as in the filter;
// the report goes to where standard output was.
void sinkStandardStreams() {
  std::freopen("/dev/null", "w", stdout);
  std::freopen("/dev/null", "w", stderr);
  static char traceBuffer[64 * 1024];
  std::setvbuf(stderr, traceBuffer, _IOFBF, sizeof traceBuffer);
}

// A 1-bit label image: white, with a frame, text-like clusters and bars.
std::vector<uint8_t> labelImage(uint32_t width, uint32_t height) {
  const uint32_t bpl = (width + 7) / 8;
  std::vector<uint8_t> image(size_t{bpl} * height, 0);
  std::mt19937 random(7);
  auto set = [&](uint32_t x, uint32_t y) { image[size_t{y} * bpl + x / 8] |= uint8_t(0x80u >> (x % 8)); };
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const bool frame = x < 6 || y < 6 || x + 6 >= width || y + 6 >= height;
      const bool bars = y > height / 2 && y < height * 3 / 4 && (x / 3) % 3 != 0 && (x * 13 / 7) % 5 < 3;
      const bool text = y % 40 < 16 && y < height / 3 && x > 20 && x < width - 20 && random() % 3 == 0;
      if (frame || bars || text) set(x, y);
    }
  }
  return image;
}

std::vector<uint8_t> band(const char* kind, uint32_t bytesPerLine) {
  std::vector<uint8_t> bytes(size_t{kBandRows} * bytesPerLine, 0);
  std::mt19937 random(11);
  if (std::strcmp(kind, "noise") == 0) {
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
  } else if (std::strcmp(kind, "label") == 0) {
    const std::vector<uint8_t> image = labelImage(bytesPerLine * 8, kBandRows * 4);
    std::memcpy(bytes.data(), image.data() + image.size() / 2, bytes.size());
  } else {
    std::memset(bytes.data(), 0xFF, bytesPerLine);  // near blank: one ruled line
  }
  return bytes;
}

void rleBand(benchmark::State& state, const char* kind) {
  const uint32_t bpl = 104;  // 4 inches at 203 dpi
  const std::vector<uint8_t> input = band(kind, bpl);
  std::vector<uint8_t> payload(2 * input.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(RLECompression(input, payload, kBandRows, bpl));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
}
BENCHMARK_CAPTURE(rleBand, near_blank, "blank");
BENCHMARK_CAPTURE(rleBand, real_label, "label");
BENCHMARK_CAPTURE(rleBand, random_noise, "noise");

// The plain turn: for every source bit column, gather its pixels one by one
// into a column buffer of one byte per pixel, then pack them eight to a byte.
void turnPerPixel(const std::vector<uint8_t>& source, std::vector<uint8_t>& turned, uint32_t height, uint32_t bpl) {
  const uint32_t hb = (height + 7) / 8;
  std::vector<uint8_t> column(size_t{hb} * 8, 0);
  uint8_t* out = turned.data();
  for (uint32_t byteColumn = 0; byteColumn < bpl; ++byteColumn) {
    for (uint32_t mask = 0x80; mask != 0; mask >>= 1) {
      for (uint32_t k = 0; k < height; ++k) {
        column[k] = (source[size_t{height - 1 - k} * bpl + byteColumn] & mask) != 0 ? 1 : 0;
      }
      for (uint32_t j = 0; j < hb; ++j) {
        uint8_t byte = 0;
        for (uint32_t t = 0; t < 8; ++t) byte = static_cast<uint8_t>((byte << 1) | column[8 * j + t]);
        *out++ = byte;
      }
    }
  }
}

// The turn as the filter does it with each way of gathering pixels, beside
// the plain gather per pixel as the baseline.
enum class Gather { kWidest, kSse2Tiles, kBitBlocks, kPerPixel };

void quarterTurn(benchmark::State& state, Gather gather) {
  const auto dpi = static_cast<uint32_t>(state.range(0));
  const uint32_t width = 4 * dpi, height = 6 * dpi, bpl = (width + 7) / 8;
  const std::vector<uint8_t> source = labelImage(width, height);
  std::vector<uint8_t> turned(size_t{bpl} * 8 * ((height + 7) / 8));
  for (auto _ : state) {
    switch (gather) {
      case Gather::kWidest:
        benchmark::DoNotOptimize(rotate90Degree(source, turned, height, bpl, width));
        break;
      case Gather::kSse2Tiles:
        benchmark::DoNotOptimize(turnQuarter(true, TurnTiles::kSse2, source, turned, height, bpl, width));
        break;
      case Gather::kBitBlocks:
        benchmark::DoNotOptimize(turnQuarter(true, TurnTiles::kBlocks, source, turned, height, bpl, width));
        break;
      case Gather::kPerPixel:
        turnPerPixel(source, turned, height, bpl);
        break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["pixels/s"] =
      benchmark::Counter(double(width) * height * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(quarterTurn, widest, Gather::kWidest)->Arg(203)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(quarterTurn, sse2_tiles, Gather::kSse2Tiles)->Arg(203)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(quarterTurn, bit_blocks, Gather::kBitBlocks)->Arg(203)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(quarterTurn, per_pixel, Gather::kPerPixel)->Arg(203)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);

// A raster stream held in memory, read back through libcups.
struct MemoryStream {
  std::vector<uint8_t> bytes;
  size_t at = 0;
};

ssize_t readMemory(void* context, unsigned char* buffer, size_t length) {
  auto& stream = *static_cast<MemoryStream*>(context);
  const size_t count = std::min(length, stream.bytes.size() - stream.at);
  std::memcpy(buffer, stream.bytes.data() + stream.at, count);
  stream.at += count;
  return static_cast<ssize_t>(count);
}

ssize_t writeMemory(void* context, unsigned char* buffer, size_t length) {
  auto& stream = *static_cast<MemoryStream*>(context);
  stream.bytes.insert(stream.bytes.end(), buffer, buffer + length);
  return static_cast<ssize_t>(length);
}

void wholePage(benchmark::State& state) {
  const auto rotation = static_cast<int32_t>(state.range(0));
  const auto compressed = static_cast<int32_t>(state.range(1));
  const uint32_t width = 812, height = 1218;
  MemoryStream stream;
  cups_raster_t* out = cupsRasterOpenIO(writeMemory, &stream, CUPS_RASTER_WRITE);
  cups_page_header2_t written{};
  written.cupsWidth = width;
  written.cupsHeight = height;
  written.cupsBitsPerPixel = written.cupsBitsPerColor = 1;
  written.cupsBytesPerLine = (width + 7) / 8;
  written.cupsColorSpace = CUPS_CSPACE_K;
  std::vector<uint8_t> image = labelImage(width, height);
  cupsRasterWriteHeader2(out, &written);
  cupsRasterWritePixels(out, image.data(), static_cast<unsigned>(image.size()));
  cupsRasterClose(out);

  settings_t settings{};
  settings.rotation = rotation;
  settings.compressed = compressed;
  Dot = 8.0f;
  const int32_t pageNumber = 1;
  for (auto _ : state) {
    stream.at = 0;
    cups_raster_t* in = cupsRasterOpenIO(readMemory, &stream, CUPS_RASTER_READ);
    cups_page_header_t header;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    cupsRasterReadHeader(in, &header);
#pragma GCC diagnostic pop
    benchmark::DoNotOptimize(printPage(in, &header, &settings, &pageNumber, 1));
    cupsRasterClose(in);
  }
  state.SetLabel("4x6 in 203 dpi");
}
BENCHMARK(wholePage)->ArgNames({"rotation", "compressed"})->Args({0, 0})->Args({0, 1})->Args({1, 1})->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const int reportFd = dup(1);
  std::ofstream report("/dev/fd/" + std::to_string(reportFd));
  sinkStandardStreams();
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&report);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
