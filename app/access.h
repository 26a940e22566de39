// Who may do what with the app, and which devices a printer may print to.
// The app is a network service: every client, form and device URI is
// someone else's input.
#pragma once

#include <pappl/pappl.h>

#include <string>

// Device URIs that reach a printer: socket://HOST[:PORT] and usb://...
// Anything else, file: above all, would let whoever adds a printer write the
// job's bytes to a file of the app's. Empty when allowed, else why not.
std::string deviceUriRefusal(const char* uri);

// The access policy, set once before the system runs.
struct AccessPolicy {
  // Printing open to the network (the server listens on every address);
  // otherwise only clients on this machine reach the app.
  bool shared = false;
};
extern AccessPolicy gAccessPolicy;

// PAPPL's authorization callback. Printing, the Get operations and a
// client's own jobs are open to every client that reaches the app;
// administration (any request PAPPL asks a group for: the web pages that
// change the system or a printer, Create-Printer, Delete-Printer,
// Set-Printer-Attributes, Shutdown, other users' jobs) only to root and the
// members of that group, on this machine. The control socket does not come
// here: PAPPL lets its clients do anything, and its folder's permissions
// decide who reaches it.
http_status_t authorizeClient(pappl_client_t* client, const char* group, gid_t groupId, void* policy);

// Whether every form of the web pages is checked as administration, which
// PAPPL's own printer page does not ask for; the server does not start
// without it.
bool webFormsGuarded();
