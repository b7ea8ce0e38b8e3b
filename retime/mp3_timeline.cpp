// MP3 timeline rebuild: audio tags are re-stamped with the running length of
// the MP3 frames they carry, video tags move with the latest audio tag (the
// ones before the first audio tag with that tag) and never step back.
#include <string>

#include "libs/tarvel/flv_format.h"
#include "retime/audio_clocks.h"
#include "retime/repair_io.h"
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
  using namespace retime;
  return runRepair(inputPath, outputPath(outputPrefix, ".flv"), [](void* reader, void* writer, FlvHeaderRecord& header) {
    Mp3Clock clock;
    int64_t drift = 0;
    if (!leadingVideoDrift(reader, header, &drift)) return false;
    VideoOut video(writer, reader, drift);
    // Audio is read whole (its frames give the clock); the writer takes
    // every tag's data from the input, video data unread.
    TagSlot tag;
    while (tag.next(reader, TARVEL_READ_SKIP_VIDEO)) {
      if (tag->tagType == flv::kAudio) {
        if (!clock.place(*tag)) return false;
        video.audio(storedTicks(*tag), clock.drift());
        stampTimestamp(*tag, static_cast<uint32_t>(clock.start() / kTicksPerMs));
        Flv_WriteTagFrom(writer, reader, &*tag);
      } else if (tag->tagType == flv::kVideo) {
        video.video(*tag);
      }
    }
    video.finish();
    return true;
  });
}
