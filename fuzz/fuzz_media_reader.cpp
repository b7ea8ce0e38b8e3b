// The media reader on any file: it opens or refuses, and what it reports
// of an opened file is consistent.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "libs/quennet/quennet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::writeScratch("media.mp3", data, size);
  void* reader = AVR_Create();
  if (!reader) fuzz::fail("no media reader");
  if (AVR_Open(reader, path.c_str(), 6)) {
    AvInfo info;
    if (!AVR_GetAVInfo(reader, &info)) fuzz::fail("an open file without information");
    if (info.duration < 0 || info.sampleRate <= 0 || info.sampleCount < 0)
      fuzz::fail("a negative duration or no rate");
    AVR_Close(reader);
  } else {
    AvInfo info;
    if (AVR_GetAVInfo(reader, &info)) fuzz::fail("information from a file that did not open");
  }
  AVR_Delete(reader);
  fuzz::expectUnchanged(path, data, size);
  return 0;
}
