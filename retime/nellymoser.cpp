// Video re-timing for Nellymoser audio: the audio's length comes from the
// payloads themselves, 256 samples in every whole 64-byte block.
#include "libs/tarvel/audio_length.h"
#include "retime/audio_clocks.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"

int32_t nellymoserSampleRate(const TagRecord& tag) {
  const int32_t rate = flv::sampleRateOf(tag.soundFormat, tag.soundRate);
  return rate > 0 ? rate : -1;
}

int64_t nellymoserTagDuration(const TagRecord& tag) {
  return flv::nellymoserTicks(retime::storedPayloadSize(tag), nellymoserSampleRate(tag));
}

int retimeNellymoserVideo(const char* /*mp3Path*/, const char* inputPath, const char* flvPath) {
  using namespace retime;
  return runRepair(inputPath, flvPath, [](void* reader, void* writer, FlvHeaderRecord& header) {
    int64_t leadingDrift = 0;
    if (!leadingVideoDrift(reader, header, &leadingDrift)) return false;
    NellymoserClock clock;
    return writeVideoFollowing(reader, writer, clock, leadingDrift);
  });
}
