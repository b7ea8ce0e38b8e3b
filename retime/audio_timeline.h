// The repairs that re-stamp audio from its own length (MP3, AAC): every
// audio tag is stamped with the running length of the audio before it,
// video tags move with the latest audio tag (the ones before the first audio
// tag with that tag) and never step back. What differs between the formats
// is only the clock (audio_clocks.h).
#pragma once

#include <cstdint>

#include "libs/tarvel/flv_format.h"
#include "retime/audio_clocks.h"
#include "retime/repair_io.h"
#include "retime/timeline.h"

namespace retime {

// Writes outputPrefix + ".flv" from inputPath, the audio placed by a Clock
// (RunningClock). A tag the clock cannot place fails the repair, leaving
// nothing at the output. Returns as runRepair does.
template <class Clock>
int rebuildAudioTimeline(const char* inputPath, const char* outputPrefix) {
  return runRepair(inputPath, outputPath(outputPrefix, ".flv"), [inputPath](void* reader, void* writer, FlvHeaderRecord& header) {
    Clock clock;
    int64_t drift = 0;
    if (!leadingVideoDrift(reader, header, &drift)) return false;
    VideoOut video(writer, reader, drift);
    // Audio is read whole (its payload gives the clock); the writer takes
    // every tag's data from the input, video data unread.
    TagSlot tag;
    while (tag.next(reader, TARVEL_READ_SKIP_VIDEO)) {
      if (tag->tagType == flv::kAudio) {
        if (!clock.place(*tag)) {
          platform::reportFailure("measure audio", inputPath, "audio whose length cannot be known");
          return false;
        }
        video.audio(storedTicks(*tag), clock.drift());
        stampTimestamp(*tag, static_cast<uint32_t>(clock.start() / kTicksPerMs));
        Flv_WriteTagFrom(writer, reader, &*tag);
      } else if (tag->tagType == flv::kVideo) {
        clock.video(tag->timestamp, compositionOffset(*tag));
        video.video(*tag);
      }
    }
    video.finish();
    return true;
  });
}

}  // namespace retime
