// Who may do what with the app. The app is a network service: every
// client, request, form and device URI is someone else's input.
#pragma once

#include <pappl/pappl.h>
#include <sys/types.h>

#include <string>

// The access policy, set from the server options before the system runs;
// nothing of it comes from the state file.
struct AccessPolicy {
  // Printing open to the network (the server listens on every address);
  // otherwise only clients on this machine reach the app.
  bool shared = false;
  // Who administers, besides root and the control socket's users.
  std::string adminGroup = "lpadmin";
  gid_t adminGid = static_cast<gid_t>(-1);
  // The server's own port, which no printer may print to, and the name it
  // listens on when shared (listen-hostname), one of its own.
  int port = 0;
  std::string listenName;
  pappl_system_t* system = nullptr;
};
extern AccessPolicy gAccessPolicy;

// Tells the policy the system, once it is made, before any printer.
void setAccessSystem(pappl_system_t* system);
// Sets the policy's settings on the system and its printers, after the
// state is loaded: a state file never decides who administers or prints.
void applyAccessPolicy(pappl_system_t* system);

// PAPPL's authorization callback. Printing, the Get operations and a
// client's own jobs are open to every client that reaches the app;
// administration (any request PAPPL asks a group for) only to root and the
// members of the admin group, on this machine.
http_status_t authorizeClient(pappl_client_t* client, const char* group, gid_t groupId, void* policy);

// Whether the client administers: a user of the control socket (its
// folder's permissions decide who reaches it), or root or a member of the
// admin group on this machine.
bool isAdministrator(pappl_client_t* client);
