// One raster page to the printer: orientation, image bands, cut and print.
#pragma once

#include <cstdint>

#include "page/raster.h"
#include "settings/settings.h"

// Reads the page's pixels from `ras` and sends the page. `pageNumber` counts
// this page (the first is 1). Returns 0 when the page was sent, 1 when it
// failed.
int printPage(cups_raster_t* ras, cups_page_header_t* header, const settings_t* settings,
              const int32_t* pageNumber, uint32_t copies);
