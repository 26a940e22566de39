// A child's messages, read in pieces as they come, handed on a line at a
// time.
#pragma once

#include <span>
#include <string>
#include <string_view>

class LineSplitter {
 public:
  // Adds what was read; `line` gets each line it completes, without its
  // newline.
  template <typename OnLine>
  void add(std::span<const char> bytes, OnLine&& line) {
    pending_.append(bytes.data(), bytes.size());
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
      line(std::string_view(pending_).substr(start, end - start));
    }
    pending_.erase(0, start);
  }

  // At the end of the messages: a last line without a newline.
  template <typename OnLine>
  void finish(OnLine&& line) {
    if (!pending_.empty()) line(std::string_view(pending_));
    pending_.clear();
  }

 private:
  std::string pending_;
};
