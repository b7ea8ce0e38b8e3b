// The converted-audio video re-timer on any input file, against a fixed small
// MP3: no crash, the input and the MP3 untouched.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "retime/retime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> mp3 = fuzz::smallMp3(20);
  static const std::string mp3Path = fuzz::writeScratch("track.mp3", mp3.data(), mp3.size());
  const std::string input = fuzz::writeScratch("in.flv", data, size);
  const std::string output = fuzz::scratchPath("out.flv");
  retimeToConvertedAudio(mp3Path.c_str(), input.c_str(), output.c_str());
  fuzz::expectUnchanged(input, data, size);
  fuzz::expectUnchanged(mp3Path, mp3.data(), mp3.size());
  fuzz::removeFile(output);
  return 0;
}
