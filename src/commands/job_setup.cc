#include "commands/job_setup.h"

#include "commands/output.h"

// Placeholder until the setup block lands: it only flushes.
void primaryProcess(settings_t) { flushOutput(); }
