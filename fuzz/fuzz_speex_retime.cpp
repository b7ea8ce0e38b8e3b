// The Speex video re-timer on any input file (its frame counter walks every
// audio payload's bits): no crash, the input untouched.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "retime/retime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::writeScratch("in.flv", data, size);
  const std::string output = fuzz::scratchPath("out.flv");
  retimeSpeexVideo(fuzz::scratchPath("unused.mp3").c_str(), input.c_str(), output.c_str());
  fuzz::expectUnchanged(input, data, size);
  fuzz::removeFile(output);
  return 0;
}
