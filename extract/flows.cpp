#include "extract/flows.h"

#include "extract/extraction.h"
#include "retime/retime.h"

int extractAndRetimePcm(const char* inputPath, const char* prefix) {
  return extractAndRetime(inputPath, prefix, retimeToConvertedAudio);
}

int extractAndRetimeNellymoser(const char* inputPath, const char* prefix) {
  return extractAndRetime(inputPath, prefix, retimeNellymoserVideo);
}

int extractAndRetimeSpeex(const char* inputPath, const char* prefix) {
  return extractAndRetime(inputPath, prefix, retimeSpeexVideo);
}
