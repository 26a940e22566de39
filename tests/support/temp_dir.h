// A scratch folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <string_view>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content` to a file named `name` in the folder; returns its path.
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
