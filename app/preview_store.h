// The previews of the last jobs: a job's printer stream is handed over as
// the job ends and read by a thread of its own at low priority, so that a
// job's preview never holds up its printing nor the next job's.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "label_preview.h"

// The bytes a job sends its printer, kept as they go: a copy up to
// kMostStreamBytes, then only the note that it was cut short.
class StreamCopy {
 public:
  void append(std::span<const char> bytes) noexcept {
    if (!whole_) return;
    if (bytes.size() > kMostStreamBytes - bytes_.size()) {
      whole_ = false;
      return;
    }
    try {
      bytes_.append(bytes.data(), bytes.size());
    } catch (const std::bad_alloc&) {
      whole_ = false;
    }
  }
  std::string take() { return std::move(bytes_); }
  bool whole() const { return whole_; }

 private:
  std::string bytes_;
  bool whole_ = true;
};

// The jobs kept: the last kMostPreviews that ended, of every printer.
inline constexpr size_t kMostPreviews = 20;

// The job `jobId` of the printer `printerId` has ended with `stream` sent.
void keepJobStream(int printerId, int jobId, std::string&& stream, bool whole) noexcept;

// The job's preview: null when none is kept; `pending` tells whether it is
// still being read.
std::shared_ptr<const JobPreview> findJobPreview(int printerId, int jobId, bool* pending = nullptr);
