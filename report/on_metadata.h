// What the report reads of an onMetaData tag: the duration it claims and
// the key-frame index's file positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace report {

struct OnMetaData {
  std::optional<double> durationSeconds;
  bool hasIndex = false;  // keyframes.filepositions is there
  std::vector<int64_t> positions;
  bool badPosition = false;  // an entry that is no byte position
};

// True when data (a script tag's data) is an "onMetaData" name followed by
// an object or ECMA array; out then holds what was found in it. Values of
// other names are walked over, nested at most a few levels deep; anything
// that runs past size or nests deeper makes the tag unreadable.
bool readOnMetaData(const uint8_t* data, size_t size, OnMetaData* out);

}  // namespace report
