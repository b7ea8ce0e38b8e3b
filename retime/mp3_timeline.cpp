// MP3 timeline rebuild: audio tags are re-stamped with the running length of
// the MP3 frames they carry, video tags move with the latest audio tag (the
// ones before the first audio tag with that tag) and never step back.
#include "retime/audio_timeline.h"
#include "retime/retime.h"
#include "retime/timeline.h"

int64_t measureMp3Duration(const uint8_t* payload, int32_t size) {
  int64_t total = 0;
  int64_t consumed = 0;
  // A frame that runs past the payload's end counts whole and ends the scan.
  while (consumed < size) {
    int32_t samplesPerFrame = 0;
    int32_t sampleRate = 0;
    int32_t length = GetMP3FrameSize(payload + consumed, &samplesPerFrame, &sampleRate);
    if (length <= 0 || sampleRate <= 0) break;
    total += int64_t{samplesPerFrame} * retime::kTicksPerSecond / sampleRate;
    consumed += length;
  }
  return total;
}

int rebuildMp3Timeline(const char* inputPath, const char* outputPrefix) {
  return retime::rebuildAudioTimeline<retime::Mp3Clock>(inputPath, outputPrefix);
}
