// PAPPL's driver callback: every printer is made here, from every door (the
// web page, IPP, the command line and the state file).
#pragma once

#include <pappl/pappl.h>

bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);

// Whether the sizes go to IPP clients with the margins CUPS's everywhere
// queues need to default to the loaded label (false where this build's
// definitions are not the ones PAPPL calls).
bool everywhereMarginsListed();
