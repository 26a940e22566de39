#include "status/status.h"

// Placeholders until the status query lands.
void getPrinterStatus(int32_t) {}
void clearPrinterStatus(int32_t) {}
