#include "commands/page_size.h"

// Placeholders until the label size conversion lands.
void convertPageSize(int32_t, int32_t*, int32_t*) {}
void convertCustomPageSize(const settings_t*, int32_t*, int32_t*) {}
