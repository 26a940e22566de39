// Progressive JPEG images of many scans, for the tests and the image
// benchmark: each scan costs a decoder a pass over the blocks it covers,
// however few its bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A progressive JPEG that libjpeg wrote, with the `nth` of its scans from
// the end (1, the last) repeated after its own until it has `scans`:
// libjpeg decodes every copy again, with a warning. Empty when the image
// has no such scan or already more scans.
inline std::string withScans(const std::string& jpeg, size_t scans, size_t nth = 1) {
  // libjpeg writes a 0xFF within a scan's data as 0xFF 0x00, and no such
  // pair in its headers: every 0xFF 0xDA starts a scan, and the last ends
  // where the end of image marker begins.
  std::vector<size_t> starts;
  for (size_t at = jpeg.find("\xFF\xDA"); at != std::string::npos; at = jpeg.find("\xFF\xDA", at + 2)) {
    starts.push_back(at);
  }
  if (!jpeg.ends_with("\xFF\xD9") || nth == 0 || nth > starts.size() || starts.size() > scans) return {};
  const size_t end = jpeg.size() - 2;
  starts.push_back(end);
  const size_t first = starts[starts.size() - 1 - nth];
  const std::string scan = jpeg.substr(first, starts[starts.size() - nth] - first);
  std::string more = jpeg.substr(0, end);
  more.reserve(end + (scans + 1 - starts.size()) * scan.size() + 2);
  for (size_t count = starts.size() - 1; count < scans; ++count) more += scan;
  return more + "\xFF\xD9";
}
