// tagmend's own share of the PCM and Nellymoser flows, without the
// converter: the probe, the video re-timer (both passes for PCM) and the
// metadata refresh, run on an input whose MP3 the converter already wrote.
#include <cstdio>
#include <cstring>

#include "libs/tarvel/tarvel.h"
#include "retime/retime.h"

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "pcm") != 0 && std::strcmp(argv[1], "nelly") != 0)) {
    std::fprintf(stderr, "usage: retime_part pcm|nelly input.flv converted.mp3 output.flv\n");
    return 2;
  }
  Quennet_init();
  StreamInfo info{};
  if (!GetFLVInfoFromFile(argv[2], &info)) return 1;
  bool pcm = std::strcmp(argv[1], "pcm") == 0;
  int ok = pcm ? retimeToConvertedAudio(argv[3], argv[2], argv[4])
               : retimeNellymoserVideo(argv[3], argv[2], argv[4]);
  return ok ? 0 : 1;
}
