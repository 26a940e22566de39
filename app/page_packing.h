// A client's raster page on its way to the filter: the page chosen from the
// headers as its rows come, cut to the label, each row packed to 1 bit, and
// the job's CUPS raster gathered a page at a time. No PAPPL in here, so that
// the fuzz target runs this very code.
#pragma once

#include <cups/raster.h>
#include <sys/types.h>

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <vector>

// A header field of an enum type as the number the client sent: most
// numbers are no value of the enum, and C++ must not read them as one.
template <typename Enum>
unsigned fieldNumber(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(unsigned));
  unsigned number;
  std::memcpy(&number, &field, sizeof number);
  return number;
}

// Dots of a length in hundredths of millimetres; 0 for none.
unsigned dots(int hundredths, unsigned resolution);

// The page as the rows come and what of it goes to the filter.
struct PageLayout {
  unsigned bitsPerPixel = 8;  // of the rows handed over: 1, or 8 and more (the first byte of a pixel counts)
  bool ink = false;           // a set bit or a high byte is black (device black), not white
  unsigned width = 0;         // pixels per row sent to the filter
  unsigned height = 0;        // rows sent to the filter
  unsigned bytesPerLine = 0;  // of a row sent to the filter
  unsigned resolution[2] = {0, 0};  // the page's own, passed on
};

enum class PageRefusal {
  none,
  bitsPerPixel,  // neither 1 nor whole bytes
  shortRows,     // its rows hold fewer pixels than its width
  tooLarge,      // cut to the label still more than the filter takes
};

struct PageChoice {
  PageLayout layout;
  PageRefusal refusal = PageRefusal::none;
};

// The page whose rows PAPPL (1.3.1) is about to hand over. `given` is the
// header PAPPL gives the driver: its own 8-bit one, or the client's where the
// client's pages have 8 bits or more. `client` is the header last read from
// the client's stream for this page, or null. Where PAPPL kept its own header
// for a page of fewer bits, it hands over the client's rows as they are, up
// to the shorter of the two pages. The page is cut to the label, `labelWidth`
// by `labelLength` in the printer's dots (0: no size), as the printer would:
// the page's own resolution is the client's to claim.
PageChoice choosePage(const cups_page_header2_t& given, const cups_page_header2_t* client, unsigned labelWidth,
                      unsigned labelLength);

// One row as handed over, `layout.bytesPerLine` bytes of 1-bit black into
// `row`, the bits past the width 0.
void packRow(const PageLayout& layout, const unsigned char* line, unsigned char* row);

// A job's CUPS raster for the filter, gathered in memory: the caller sends
// each page whole, so that a cancel never leaves the filter a page cut short,
// which it would report as damaged. libcups writes the stream's sync word and
// each page header; the rows of an uncompressed CUPS raster are the bits
// themselves and go in without it.
class FilterRaster {
 public:
  FilterRaster();
  ~FilterRaster();
  FilterRaster(const FilterRaster&) = delete;
  FilterRaster& operator=(const FilterRaster&) = delete;

  // Writes the page's header; false when the stream could not be opened.
  bool startPage(const PageLayout& layout);
  // Row `y` of the page as handed over; rows past the page's height are
  // dropped.
  void addRow(unsigned y, const unsigned char* line);
  // A page whose rows come as the filter reads them already: its header as
  // it is, then room for `bytes` of rows at the end of what is gathered.
  bool startPage(cups_page_header2_t header);
  unsigned char* addBytes(size_t bytes);
  // Ends the stream; nothing follows.
  void close();

  // What was gathered and not yet taken.
  std::vector<unsigned char>& pending() { return pending_; }

 private:
  static ssize_t gather(void* context, unsigned char* bytes, size_t length);

  // Before the stream, which writes its sync word here as it opens.
  std::vector<unsigned char> pending_;
  cups_raster_t* raster_ = nullptr;
  PageLayout page_;
};
