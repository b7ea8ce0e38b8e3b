// The part of the failure reports that is the same on every system.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform::diagnostics {

inline bool enabled() {
  const char* value = std::getenv("TAGMEND_VERBOSE");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// One write, so that lines of several runs on one terminal do not mix.
inline void writeLine(const char* step, const std::string& path, const std::string& why) {
  const std::string line = std::string("tagmend: ") + step + ": " + path + ": " + why + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace platform::diagnostics
