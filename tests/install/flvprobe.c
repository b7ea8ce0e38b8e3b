/* Prints what the installed libraries make of an FLV file and of one MP3
 * frame header given in hex: "audio 0 video 2 frame 417". */
#include <stdio.h>
#include <stdlib.h>

#include <quennet/quennet.h>
#include <tarvel/tarvel.h>

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  StreamInfo info;
  if (!GetFLVInfoFromFile(argv[1], &info)) return 2;
  unsigned long header = strtoul(argv[2], NULL, 16);
  uint8_t frame[4] = {(uint8_t)(header >> 24), (uint8_t)(header >> 16), (uint8_t)(header >> 8),
                      (uint8_t)header};
  int32_t samples = 0, rate = 0;
  Quennet_init();
  printf("audio %d video %d frame %d\n", (int)info.soundFormat, (int)info.videoCodecId,
         (int)GetMP3FrameSize(frame, &samples, &rate));
  return 0;
}
