// The whole AAC repair on any input file: no crash, the input untouched.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "retime/retime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::writeScratch("in.flv", data, size);
  const std::string prefix = fuzz::scratchPath("out");
  rebuildAacTimeline(input.c_str(), prefix.c_str());
  fuzz::expectUnchanged(input, data, size);
  fuzz::removeFile(prefix + ".flv");
  return 0;
}
