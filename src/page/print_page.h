// One raster page to the printer: orientation, image bands, cut and print.
#pragma once

#include <cstdint>

#include "page/raster.h"
#include "settings/settings.h"

// Pages whose image (as read, or as turned for a quarter turn) is larger than
// this are refused.
inline constexpr uint64_t kLargestPageImage = uint64_t{256} << 20;

// Reads the page's pixels from `ras` and sends the page: SOT (and SOB), the
// image in bands of at most 200 rows ("LD" raw or "LCR" run-length coded),
// CR LF, the page's cut command when one is due and P1. `pageNumber` counts
// this page (the first is 1). A header that cannot describe a 1-bit page of
// sensible size is refused with an "ERROR: " line before anything is
// written. Returns 0 when the page was sent, 1 when it failed.
int printPage(cups_raster_t* ras, cups_page_header_t* header, const settings_t* settings, const int32_t* pageNumber,
              uint32_t copies);
