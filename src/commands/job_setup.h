// The job-setup block that opens every raster job.
#pragma once

#include "settings/settings.h"

// Writes the setup commands for the job and the job-level cut command, then
// flushes standard output. Works on its own copy of the settings.
void primaryProcess(settings_t settings);
