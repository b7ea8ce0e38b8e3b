// Test support: the external tools (ffmpeg, lame) that make reference
// inputs, run through the shell.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/testing/flv_builder.h"

namespace testing_flv {

inline bool hasTool(const char* name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Runs a shell command quietly; true when it exits with 0.
inline bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Standard output of a shell command.
inline std::string capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// Samples per channel that ffmpeg's decoder delivers for a file (it honours
// the encoder delay and padding of a LAME tag), or -1.
inline int64_t decodedSamples(const std::string& path, int channels) {
  std::string bytes = capture("ffmpeg -v error -i '" + path + "' -f s16le -acodec pcm_s16le - | wc -c");
  if (bytes.empty()) return -1;
  return std::stoll(bytes) / (2 * channels);
}

}  // namespace testing_flv
