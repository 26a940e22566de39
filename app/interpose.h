// Functions of libcups and PAPPL that the app defines itself. The calls
// between their exported functions go through the PLT, and the program's
// definitions come first in symbol lookup, so every caller, the libraries
// included, reaches the app's definition, which calls the library's own.
#pragma once

#include <dlfcn.h>

// The library's own definition of a function the app defines too.
template <typename Function>
Function theirs(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether the app's `definition` is the one every caller reaches.
inline bool ours(const char* name, void* definition) {
  return dlsym(RTLD_DEFAULT, name) == definition && dlsym(RTLD_NEXT, name) != nullptr;
}
