// The server's state file, saved by a thread of its own, whole and on disk.
#pragma once

#include <pappl/pappl.h>

#include <optional>
#include <string>

// PAPPL's save callback for `system` and its state file, which lives as long
// as the system: the state is saved in the background, the changes of a busy
// second in one save. Without this build's hold on papplSystemRun (a PAPPL it
// cannot bound), each change is saved at once, by the caller.
pappl_save_cb_t stateSaveCallback(pappl_system_t* system, const char* file);

// Saves the state, or waits for a save that begins after this call, and
// returns once it is on disk, so that what a client is told (its job
// accepted, canceled) outlives a crash. Clients that ask together share a
// save. From a client's thread, with no lock held; false when it could not
// be saved.
bool saveStateNow(pappl_system_t* system);

// Saves the state a last time and saves no more: the server ends.
bool saveStateLast(pappl_system_t* system);

// PAPPL writes each active job's attributes as it saves the state
// (papplJobOpenFile with "ipp", "w"), over the last ones: during a save of
// the app's they go to a file beside, which replaces the job's once whole and
// on disk, and only when it differs. The descriptor, or nothing when no save
// of the app's is under way in this thread (PAPPL's own open then).
std::optional<int> openJobAttributesForSave(pappl_job_t* job, char* fname, size_t fnamesize, const char* directory);

// PAPPL removes each ended job's attribute file at every save (papplJobOpenFile
// with "ipp", "x"): during a save of the app's, only those that may still
// be there are tried. The result, or nothing when no save of the app's is
// under way in this thread.
std::optional<int> removeJobAttributesForSave(pappl_job_t* job, char* fname, size_t fnamesize, const char* directory);

// Notes the job attribute files in the spool `folder`, before PAPPL loads
// the state.
void rememberJobAttributeFiles(const std::string& folder);
