// Test support: FLV inputs made by ffmpeg from lavfi sources, and the edits
// that turn runs of their audio tags into gaps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/testing/flv_builder.h"
#include "platform/testing/tools.h"

namespace testing_flv {

inline bool runQuietly(const std::string& command) { return run(command); }
inline std::string captureOutput(const std::string& command) { return capture(command); }

// A small FLV: Sorenson video (64x48, 15 fps) and a sine tone encoded with
// audioOptions, `seconds` long.
inline bool makeFfmpegFlv(const std::string& path, int rate, const std::string& audioOptions,
                          double seconds = 3.0) {
  std::string d = std::to_string(seconds);
  return runQuietly("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=15:d=" + d +
                    " -f lavfi -i sine=f=300:r=" + std::to_string(rate) + ":d=" + d +
                    " -c:v flv1 " + audioOptions + " -f flv '" + path + "'");
}

// Samples per channel that ffmpeg decodes from an audio file, or -1.
inline int64_t ffmpegDecodedSamples(const std::string& path, int channels) {
  std::string count = captureOutput("ffmpeg -v error -i '" + path +
                                    "' -f s16le -acodec pcm_s16le - | wc -c");
  return count.empty() ? -1 : std::stoll(count) / (2 * channels);
}

// Empties `count` audio tags from the first-th on (counting audio tags only):
// each keeps just its flags byte.
inline void emptyAudioRun(Flv& flv, int first, int count) {
  int index = 0;
  for (Tag& t : flv.tags) {
    if (t.type != 8) continue;
    if (index >= first && index < first + count && !t.data.empty()) t.data.resize(1);
    ++index;
  }
}

inline void saveTags(const Flv& flv, const std::string& path) {
  FlvBuilder b(flv.flags);
  for (const Tag& t : flv.tags) b.tag(t);
  b.save(path);
}

// Bytes of audio payload after the flags byte.
inline int64_t audioPayloadSize(const Tag& t) {
  return t.data.empty() ? 0 : static_cast<int64_t>(t.data.size()) - 1;
}

}  // namespace testing_flv
