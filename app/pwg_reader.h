// A client's raster document read straight from its spool file: the PWG
// raster IPP Everywhere clients send, and the CUPS raster forms libcups reads
// with it. It gives the headers and rows libcups 2.4 gives, through
// cupsRasterReadHeader2 and cupsRasterReadPixels a row at a time, and stops
// where libcups stops; it decodes a run with one memset where libcups copies
// each pixel of it, and keeps of a row only what the caller asks for, where
// libcups holds whole rows of the size the client claims (up to 2 GiB).
// No PAPPL in here, so that the fuzz target runs this very code.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class PwgReader {
 public:
  static constexpr size_t kChunkSize = size_t{256} << 10;

  // Reads from `fd`, which stays the caller's, `chunkSize` bytes at a time.
  explicit PwgReader(int fd, size_t chunkSize = kChunkSize);

  // The next page's header. False at the document's end, and when the
  // document is no raster, is cut short or its header is one libcups
  // refuses: then failed() is true and nothing more is read. The header is
  // zeroed whenever it is false.
  bool readHeader(cups_page_header2_t& header);

  // The next row of the page: its first out.size() bytes into `out`, the rest
  // of it decoded and dropped. False past the page's last row, and when the
  // document ends within the row or is damaged (then failed() is true).
  // `out` is at most the page's cupsBytesPerLine, and the same size for every
  // row of the page: a row repeated by the document is kept only as far as it
  // was first asked for, and a longer ask for it fails.
  bool readRow(std::span<unsigned char> out);

  bool failed() const { return state_ == State::failed; }

 private:
  enum class State { start, pages, ended, failed };

  bool fail();
  bool readSyncWord();
  bool acceptHeader(std::span<unsigned char> raw);
  bool fill();
  bool take(std::span<unsigned char> to);
  bool skip(uint64_t count);
  bool readByte(unsigned char& byte);
  bool decodeRow(std::span<unsigned char> kept);

  int fd_;
  size_t chunkSize_;
  std::unique_ptr<unsigned char[]> chunk_;
  size_t at_ = 0, end_ = 0;  // what of the chunk is read and not yet taken

  State state_ = State::start;
  bool compressed_ = false;
  bool swapped_ = false;     // the document's byte order is not this machine's
  bool shortHeader_ = false;  // version-1 CUPS raster: page headers without the version-2 fields

  // The page.
  uint64_t bytesPerLine_ = 0;
  uint32_t bytesPerPixel_ = 1;  // of the runs
  uint32_t rowsLeft_ = 0;
  unsigned char blank_ = 0;     // what the rest of a row is, cleared by the code 128
  bool swapRows_ = false;       // 16-bit samples in the other byte order
  uint32_t repeats_ = 0;        // further copies of the row in `repeated_`
  std::vector<unsigned char> repeated_;
};
