// The repair that re-stamps audio from its own length: every audio tag is
// stamped with the running length of the audio before it, video tags move
// with the latest audio tag (the ones before the first audio tag with that
// tag) and never step back. What differs between the formats is only how
// long one tag plays.
#pragma once

#include <cstdint>

#include "libs/tarvel/flv_format.h"
#include "retime/repair_io.h"
#include "retime/timeline.h"

namespace retime {

// Writes outputPrefix + ".flv" from inputPath. tagTicks(tag) gives the
// length in ticks of an audio tag read whole, called once per audio tag in
// file order (it may keep state, such as a codec's config); a negative
// length means the tag cannot be measured, and the repair fails then,
// leaving nothing at the output. Returns as runRepair does.
template <class TagTicks>
int rebuildAudioTimeline(const char* inputPath, const char* outputPrefix, TagTicks tagTicks) {
  return runRepair(inputPath, outputPath(outputPrefix, ".flv"), [&](void* reader, void* writer, FlvHeaderRecord& header) {
    int64_t audioClock = 0;
    int64_t drift = 0;
    if (!leadingVideoDrift(reader, header, &drift)) return false;
    VideoOut video(writer, reader, drift);
    // Audio is read whole (its payload gives the clock); the writer takes
    // every tag's data from the input, video data unread.
    TagSlot tag;
    while (tag.next(reader, TARVEL_READ_SKIP_VIDEO)) {
      if (tag->tagType == flv::kAudio) {
        int64_t stored = storedTicks(*tag);
        int64_t duration = tagTicks(*tag);
        if (duration < 0) {
          platform::reportFailure("measure audio", inputPath, "an audio frame whose length cannot be known");
          return false;
        }
        drift = audioClock - stored;
        video.audio(stored, drift);
        stampTimestamp(*tag, static_cast<uint32_t>(audioClock / kTicksPerMs));
        audioClock += duration;
        Flv_WriteTagFrom(writer, reader, &*tag);
      } else if (tag->tagType == flv::kVideo) {
        video.video(*tag);
      }
    }
    video.finish();
    return true;
  });
}

}  // namespace retime
