// Label sizes in printer dots, from a standard size index or a custom size.
#pragma once

#include <cstdint>

#include "settings/settings.h"

// Writes the width then the length of standard size `index` (0 to 55) in dots;
// writes nothing for any other index.
void convertPageSize(int32_t index, int32_t* length, int32_t* width);

// Writes the custom label size (customHeight by customWidth, in points) in dots.
void convertCustomPageSize(const settings_t* settings, int32_t* length, int32_t* width);
