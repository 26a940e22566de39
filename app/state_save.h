// The server's state file, saved by a thread of its own.
#pragma once

#include <pappl/pappl.h>

// PAPPL's save callback, its data the state file's path: the state is saved
// in the background, the changes of a busy second in one save. Without this
// build's hold on papplSystemRun (a PAPPL it cannot bound), each change is
// saved at once, by the caller.
pappl_save_cb_t stateSaveCallback();
