// One raster page to the printer: orientation, image bands, cut and print.
#pragma once

#include <cstdint>

#include "page/raster.h"
#include "settings/settings.h"

// Pages whose image (as read, or as turned for a quarter turn) is larger than
// this are refused.
inline constexpr uint64_t kLargestPageImage = uint64_t{256} << 20;
// Nor may the image as sent have more bytes per line or rows than this: the
// image commands carry both in 16 bits.
inline constexpr uint32_t kLargestImageField = 0xFFFF;

// Reads the page's pixels from `ras` and sends the page: SOT (and SOB), the
// image in bands of at most 200 rows ("LD" raw or "LCR" run-length coded),
// CR LF, the page's cut command when one is due and P1 (with the copy count
// when above 1; a count below 1 is one copy), and then the scheduler's
// "PAGE: " line. `pageNumber` counts this page (the first is 1). A header
// that cannot describe a 1-bit page of sensible size, pixels that cannot be
// read and buffers that cannot be had fail the page with an "ERROR: " line
// before anything of it is written. Returns 0 when the page was sent, 1 when
// it failed.
int printPage(cups_raster_t* ras, cups_page_header_t* header, const settings_t* settings, const int32_t* pageNumber,
              int32_t copyCount);
