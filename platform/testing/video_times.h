// Test support for the video re-timers: what an output FLV holds, read with
// the independent parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/flv_builder.h"

namespace testing_flv {

// The timestamps of the video tags of a file, in order.
inline std::vector<uint32_t> videoTimes(const Flv& flv) {
  std::vector<uint32_t> times;
  for (const Tag& t : flv.tags)
    if (t.type == 9) times.push_back(t.timestamp);
  return times;
}

inline int countTags(const Flv& flv, uint8_t type) {
  int n = 0;
  for (const Tag& t : flv.tags) n += t.type == type ? 1 : 0;
  return n;
}

// The four raw timestamp bytes (Timestamp, TimestampExtended) of the index-th
// video tag of a file.
inline std::vector<uint8_t> rawVideoTimestamp(const std::string& path, int index) {
  std::vector<uint8_t> b = readFile(path);
  if (b.size() < 9) return {};
  size_t pos = ((size_t{b[5]} << 24) | (size_t{b[6]} << 16) | (size_t{b[7]} << 8) | b[8]) + 4;
  while (pos + 11 <= b.size()) {
    size_t size = (size_t{b[pos + 1]} << 16) | (size_t{b[pos + 2]} << 8) | b[pos + 3];
    if (b[pos] == 9 && index-- == 0) return {b[pos + 4], b[pos + 5], b[pos + 6], b[pos + 7]};
    pos += 11 + size + 4;
  }
  return {};
}

// True when some tag's data contains the marker.
inline bool containsMarker(const Flv& flv, const std::string& marker) {
  for (const Tag& t : flv.tags) {
    std::string data(t.data.begin(), t.data.end());
    if (data.find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace testing_flv
