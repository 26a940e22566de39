// libcups' raster interface.
#pragma once

#include <cups/raster.h>

// Reads the next page header into the version-1 header the page code works
// with. libcups marks this call deprecated in favour of the version-2 header;
// the fields used here are the same in both.
inline unsigned readPageHeader(cups_raster_t* ras, cups_page_header_t* header) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return cupsRasterReadHeader(ras, header);
#pragma GCC diagnostic pop
}
