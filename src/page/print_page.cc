#include "page/print_page.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "commands/commands.h"
#include "commands/output.h"
#include "page/buffer.h"
#include "page/rle.h"
#include "page/rotation.h"

namespace {

constexpr const char* kTrace = "TAMRISK Label Driver DEBUG MSG : ";
constexpr uint32_t kBandRows = 200;

bool isQuarterTurn(int32_t rotation) { return rotation == 1 || rotation == 3; }

// The image as the printer gets it: after a quarter turn, a row per column.
struct SentImage {
  uint64_t bytesPerLine;
  uint64_t rows;
};

SentImage sentImage(const cups_page_header_t& header, int32_t rotation) {
  if (isQuarterTurn(rotation)) return {(uint64_t{header.cupsHeight} + 7) / 8, header.cupsWidth};
  return {header.cupsBytesPerLine, header.cupsHeight};
}

// Bytes of the turned image of a quarter turn: a row per column, a bit per row.
uint64_t turnedImageBytes(const cups_page_header_t& header) {
  const SentImage turned = sentImage(header, 1);
  return turned.rows * turned.bytesPerLine;
}

// The header must describe a 1-bit image whose rows hold its width and whose
// buffers stay within bounds; the products are taken in 64 bits so that a
// crafted header cannot wrap them. Returns 0, or 1 after one "ERROR: " line.
int checkPageHeader(const cups_page_header_t& header, int32_t rotation, int32_t pageNumber) {
  const uint32_t width = header.cupsWidth;
  const uint32_t height = header.cupsHeight;
  if (width == 0 || height == 0) {
    std::fprintf(stderr, "ERROR: Page %d has no image (%u x %u pixels); the page was not printed.\n", pageNumber, width,
                 height);
    return 1;
  }
  if (header.cupsBitsPerPixel != 1) {
    std::fprintf(stderr,
                 "ERROR: Page %d has %u bits per pixel, but the printer prints 1-bit images only; the page was not "
                 "printed.\n",
                 pageNumber, header.cupsBitsPerPixel);
    return 1;
  }
  if (header.cupsBytesPerLine < (uint64_t{width} + 7) / 8) {
    std::fprintf(stderr,
                 "ERROR: Page %d is damaged: %u bytes per line cannot hold %u pixels; the page was not printed.\n",
                 pageNumber, header.cupsBytesPerLine, width);
    return 1;
  }
  // The image command carries its bytes per line and rows in 16 bits each:
  // a larger value would wrap and the rest of the pixels would reach the
  // printer as command text.
  const SentImage sent = sentImage(header, rotation);
  if (sent.bytesPerLine > kLargestImageField || sent.rows > kLargestImageField) {
    std::fprintf(stderr,
                 "ERROR: Page %d is too large for the printer: its image as sent would have %llu bytes per line and "
                 "%llu rows, more than the %u an image command carries; the page was not printed.\n",
                 pageNumber, static_cast<unsigned long long>(sent.bytesPerLine),
                 static_cast<unsigned long long>(sent.rows), kLargestImageField);
    return 1;
  }
  const uint64_t pixelBytes = uint64_t{height} * header.cupsBytesPerLine;
  const uint64_t turnedBytes = isQuarterTurn(rotation) ? turnedImageBytes(header) : 0;
  if (std::max(pixelBytes, turnedBytes) > kLargestPageImage) {
    std::fprintf(stderr,
                 "ERROR: Page %d is too large: its image of %u x %u pixels needs %llu bytes, more than the %llu this "
                 "filter takes; the page was not printed.\n",
                 pageNumber, width, height, static_cast<unsigned long long>(std::max(pixelBytes, turnedBytes)),
                 static_cast<unsigned long long>(kLargestPageImage));
    return 1;
  }
  return 0;
}

// Image command fields carry the low 16 bits of their value, low byte first.
void putField(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

struct Band {
  uint32_t startRow;
  uint32_t rows;
  uint32_t bytesPerLine;
  std::span<const uint8_t> bytes;
};

void sendRawBand(const Band& band) {
  std::array<uint8_t, 10> command{'L', 'D'};
  putField(&command[4], band.startRow);
  putField(&command[6], band.bytesPerLine);
  putField(&command[8], band.rows);
  writeOutput(command.data(), command.size());
  std::fprintf(stderr, "%sprintPage() : hieght = %d, bytesPerLine = %d\n", kTrace, static_cast<int>(band.rows),
               static_cast<int>(band.bytesPerLine));
  std::fprintf(stderr, "%sprintPage() : start_height = %d\n", kTrace, static_cast<int>(band.startRow));
  writeOutput(band.bytes.data(), band.bytes.size());
  flushOutput();
  std::fprintf(stderr, "TAMRISK Label Driver DEBUG MSG: printPage() : i = %d\n", static_cast<int>(band.bytes.size()));
}

// The compressed bands of one page share a payload buffer sized for the
// first band, the tallest, and remember the previous payload's length for
// the trace (0 before the first band).
struct Compression {
  ZeroedBuffer payload;
  uint32_t lastLength = 0;
};

void sendCompressedBand(const Band& band, uint32_t rowsRemaining, Compression& compression, bool traceRuns) {
  std::fprintf(stderr, "%sprintPage() comp : hieght = %d, p_height = %d, bytesPerLine = %d\n", kTrace,
               static_cast<int>(rowsRemaining), static_cast<int>(band.rows), static_cast<int>(band.bytesPerLine));
  std::fprintf(stderr, "%sprintPage() comp : start_height = %d\n", kTrace, static_cast<int>(band.startRow));
  std::fprintf(stderr, "%sprintPage() comp : compDataLen = %d\n", kTrace, static_cast<int>(compression.lastLength));
  compression.lastLength =
      RLECompression(band.bytes, compression.payload.bytes(), band.rows, band.bytesPerLine, traceRuns);
  std::array<uint8_t, 12> command{'L', 'C', 'R'};
  putField(&command[6], band.startRow);
  putField(&command[8], band.bytesPerLine);
  putField(&command[10], band.rows);
  writeOutput(command.data(), command.size());
  writeOutput(compression.payload.memory.get(), compression.lastLength);
  flushOutput();
}

// With a single copy and the cutter on, every page after the first gets its
// own cut command: a cut on the pages that are a multiple of the cut period
// (whatever its sign), no cut on the others. `copies` is at least 1.
void sendCutCommand(const settings_t& settings, int32_t pageNumber, uint32_t copies) {
  if (copies > 1 || settings.cutter == 0 || pageNumber <= 1) return;
  const int64_t period = settings.cutPeriod;
  if (period != 0 && pageNumber % period == 0) {
    setCutter(1, 1);
  } else {
    setCutter(0, 0);
  }
}

// The print command, then the scheduler's page accounting line, which counts
// the labels of the job as the printer prints them.
void sendPrintCommand(int32_t pageNumber, uint32_t copies) {
  std::array<char, 24> command{};
  const int length = copies > 1
                         ? std::snprintf(command.data(), command.size(), "P1,%d\r\n", static_cast<int32_t>(copies))
                         : std::snprintf(command.data(), command.size(), "P1\r\n");
  if (length > 0) writeOutput(command.data(), std::min(static_cast<size_t>(length), command.size() - 1));
  std::fprintf(stderr, "PAGE: %d %d\n", pageNumber, static_cast<int32_t>(copies));
}

}  // namespace

int printPage(cups_raster_t* ras, cups_page_header_t* header, const settings_t* settings, const int32_t* pageNumber,
              int32_t copyCount) {
  const uint32_t copies = copyCount < 1 ? 1 : static_cast<uint32_t>(copyCount);
  if (checkPageHeader(*header, settings->rotation, *pageNumber) != 0) return 1;

  // Every buffer of the page is had before its first byte is written (the
  // turn gets its own before SOT): a page that cannot be sent whole leaves
  // nothing of itself in the printer stream. The page buffer has room for
  // the image as read and, for a quarter turn, as turned in place; the
  // payload buffer for the first band, the tallest, as sent.
  const uint64_t pixelBytes = uint64_t{header->cupsHeight} * header->cupsBytesPerLine;
  const uint64_t turnedBytes = isQuarterTurn(settings->rotation) ? turnedImageBytes(*header) : 0;
  const ZeroedBuffer page = allocateZeroed(std::max(pixelBytes, turnedBytes));
  if (!page) {
    reportMemoryError(std::max(pixelBytes, turnedBytes));
    return 1;
  }
  Compression compression;
  if (settings->compressed == 1) {
    const SentImage sent = sentImage(*header, settings->rotation);
    const uint64_t payloadBytes = 2 * std::min<uint64_t>(sent.rows, kBandRows) * sent.bytesPerLine;
    compression.payload = allocateZeroed(payloadBytes);
    if (!compression.payload) {
      reportMemoryError(payloadBytes);
      return 1;
    }
  }
  if (cupsRasterReadPixels(ras, page.memory.get(), static_cast<unsigned>(pixelBytes)) != pixelBytes) {
    std::fprintf(stderr, "ERROR: The raster data of page %d ended early or is damaged; the page was not printed.\n",
                 *pageNumber);
    return 1;
  }
  if (convertRotation(settings->rotation, page.bytes(), header) != 0) return 1;

  const uint32_t bytesPerLine = header->cupsBytesPerLine;
  uint32_t rowsRemaining = header->cupsHeight;
  uint32_t startRow = 0;
  while (rowsRemaining > 0) {
    const uint32_t rows = std::min(rowsRemaining, kBandRows);
    rowsRemaining -= rows;
    const Band band{startRow, rows, bytesPerLine,
                    page.bytes().subspan(size_t{startRow} * bytesPerLine, size_t{rows} * bytesPerLine)};
    if (settings->compressed == 1) {
      sendCompressedBand(band, rowsRemaining, compression, settings->runTrace != 0);
    } else {
      sendRawBand(band);
    }
    startRow += rows;
  }
  writeOutput("\r\n", 2);
  sendCutCommand(*settings, *pageNumber, copies);
  sendPrintCommand(*pageNumber, copies);
  return 0;
}
