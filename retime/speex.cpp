// Video re-timing for Speex audio: the audio's length comes from the
// payloads themselves, 20 ms for every frame the decoder finds in them
// (audioTagTicks, by the Speex rule).
#include "retime/audio_clocks.h"
#include "retime/repair_io.h"
#include "retime/retime.h"

int retimeSpeexVideo(const char* /*mp3Path*/, const char* inputPath, const char* flvPath) {
  using namespace retime;
  return runRepair(inputPath, flvPath, [](void* reader, void* writer, FlvHeaderRecord& header) {
    int64_t leadingDrift = 0;
    if (!leadingVideoDrift(reader, header, &leadingDrift)) return false;
    SpeexClock clock;
    // The frames are counted from the audio's payloads, read whole.
    return writeVideoFollowing(reader, writer, clock, leadingDrift, TARVEL_READ_SKIP_VIDEO);
  });
}
