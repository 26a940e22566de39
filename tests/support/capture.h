// Captures what code run in this process writes to standard output and
// standard error, by pointing descriptors 1 and 2 at temporary files.
#pragma once

#include <functional>
#include <string>

struct Captured {
  std::string out;
  std::string err;
};

Captured capture(const std::function<void()>& body);
