// AAC timeline rebuild: the MP3 repair's rules, with each raw AAC frame
// lasting its frame length at the core rate of the config before it.
#include "retime/audio_timeline.h"
#include "retime/retime.h"

int rebuildAacTimeline(const char* inputPath, const char* outputPrefix) {
  return retime::rebuildAudioTimeline<retime::AacClock>(inputPath, outputPrefix);
}
