// The printer application's reader of a client's raster document against
// libcups: the same stream goes to libcups (cupsRasterOpenIO,
// cupsRasterReadHeader2, cupsRasterReadPixels a row at a time) and to
// PwgReader through a file, and the reader must take and refuse the same
// headers, give the same bytes for the part of each row it is asked for, and
// stop at the same row. Apple raster, which libcups reads too, it refuses.
//
// The first byte chooses the size of the reader's reads (bits 0-2), so that
// codes and rows fall across their ends, and the stream's sync word (bits
// 3-5: one of the six of PWG and CUPS raster, or the stream as given with its
// own); the second how much of each row the reader is asked for (255: all of
// it). The rest is the stream.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/pwg_reader.h"
#include "fuzz/raster_memory.h"

namespace {

constexpr std::array<size_t, 8> kChunkSizes{1, 2, 7, 64, 1000, 4096, 65536, PwgReader::kChunkSize};
constexpr std::array<uint32_t, 6> kSyncWords{CUPS_RASTER_SYNCv2, CUPS_RASTER_REVSYNCv2, CUPS_RASTER_SYNC,
                                             CUPS_RASTER_REVSYNC, CUPS_RASTER_SYNCv1, CUPS_RASTER_REVSYNCv1};

// The most of a row the reader is asked for.
constexpr size_t kLargestAsk = size_t{64} << 10;
// libcups decodes every row whole; an input whose rows would make it decode
// more than this is compared up to the row that goes over. A row costs a
// little beyond its bytes.
constexpr uint64_t kReadBudget = uint64_t{4} << 20;
constexpr uint64_t kRowCost = 64;
// libcups allocates a compressed page's row when it reads the header: one
// larger than fuzz/asan_options.cc lets it have makes it refuse the header.
constexpr uint32_t kLargestLibcupsRow = uint32_t{64} << 20;

// The stream as a file the reader reads, kept for every input.
int streamFile(const std::vector<uint8_t>& stream) {
  static const int fd = memfd_create("pwg-reader", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      pwrite(fd, stream.data(), stream.size(), 0) != static_cast<ssize_t>(stream.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    __builtin_trap();
  }
  return fd;
}

// Rows libcups cannot be asked for: the reader reads a few alone, in memory
// bounded by what it is asked for whatever the page claims.
void readAlone(PwgReader& reader, size_t ask) {
  std::vector<unsigned char> row(ask);
  for (int y = 0; y < 4 && reader.readRow(row); ++y) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunkSize = kChunkSizes[data[0] & 7];
  const unsigned form = (data[0] >> 3) & 7;
  const size_t asked = data[1] == 255 ? kLargestAsk : data[1];
  std::vector<uint8_t> stream;
  if (form < kSyncWords.size()) {
    stream.resize(sizeof(uint32_t));
    std::memcpy(stream.data(), &kSyncWords[form], sizeof(uint32_t));
  }
  stream.insert(stream.end(), data + 2, data + size);

  PwgReader reader(streamFile(stream), chunkSize);
  cups_page_header2_t ours, theirs;
  const MemoryRaster client(stream.data(), stream.size());
  uint32_t sync = 0;
  if (stream.size() >= sizeof sync) std::memcpy(&sync, stream.data(), sizeof sync);
  if (client.get() == nullptr || sync == CUPS_RASTER_SYNCapple || sync == CUPS_RASTER_REVSYNCapple) {
    if (reader.readHeader(ours) || !reader.failed()) __builtin_trap();
    return 0;
  }
  const bool compressed = sync == CUPS_RASTER_SYNCv2 || sync == CUPS_RASTER_REVSYNCv2;

  uint64_t budget = kReadBudget;
  std::vector<unsigned char> theirRow, ourRow;
  for (;;) {
    const bool theyTake = cupsRasterReadHeader2(client.get(), &theirs) != 0;
    const bool weTake = reader.readHeader(ours);
    const size_t ask = std::min<size_t>(asked, ours.cupsBytesPerLine);
    if (weTake && !theyTake && compressed && ours.cupsBytesPerLine > kLargestLibcupsRow) {
      readAlone(reader, ask);
      return 0;
    }
    if (weTake != theyTake || std::memcmp(&ours, &theirs, sizeof ours) != 0) __builtin_trap();
    if (!weTake) break;

    ourRow.resize(ask);
    for (;;) {
      if (budget < ours.cupsBytesPerLine + kRowCost) {
        readAlone(reader, ask);
        return 0;
      }
      budget -= ours.cupsBytesPerLine + kRowCost;
      theirRow.resize(ours.cupsBytesPerLine);
      const bool theyRead = cupsRasterReadPixels(client.get(), theirRow.data(), ours.cupsBytesPerLine) != 0;
      const bool weRead = reader.readRow(ourRow);
      if (weRead != theyRead) __builtin_trap();
      if (!weRead) break;
      if (!std::equal(ourRow.begin(), ourRow.end(), theirRow.begin())) __builtin_trap();
    }
  }
  // Once the reader has stopped, it gives nothing more.
  if (reader.readRow(ourRow) || reader.readHeader(ours)) __builtin_trap();
  return 0;
}
