// Output paths of the repairs: a prefix and an extension in a buffer of
// kMaxPathLength characters.
#pragma once

#include <cstring>
#include <string>

#include "platform/file.h"
#include "retime/retime.h"

namespace retime {

// prefix + extension, or an empty string when it would not fit the buffer
// or the prefix ends in no file name (the output would be a hidden ".flv").
inline std::string outputPath(const char* prefix, const char* extension) {
  size_t length = std::strlen(prefix) + std::strlen(extension);
  if (length > static_cast<size_t>(kMaxPathLength) || !platform::hasFileName(prefix)) return {};
  return std::string(prefix) + extension;
}

// True when writing `output` would overwrite `input`, however either is
// spelled (checked by file identity, so links and relative forms count).
inline bool wouldOverwriteInput(const char* input, const std::string& output) {
  return platform::sameFile(input, output.c_str());
}

}  // namespace retime
