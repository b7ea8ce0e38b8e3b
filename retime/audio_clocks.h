// The audio clocks the repairs run: each audio tag, in file order, moves the
// clock on, and the drift it leaves (where the repaired audio puts the tag
// minus where the tag is stored) is what the video after it moves by. The
// drift report runs the same clocks to predict what a repair does.
#pragma once

#include <cstdint>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tarvel.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace retime {

// The MP3 repair's clock: every audio tag is stamped with the running length
// of the MP3 frames in the tags before it; an empty tag adds nothing.
class Mp3Clock {
 public:
  // tag: read whole. False when the lengths add up past any real timeline
  // (a damaged file).
  bool place(const TagRecord& tag) {
    start_ = clock_;
    drift_ = clock_ - storedTicks(tag);
    // Extended audio: the frames after its header (".mp3" only).
    clock_ += tag.soundFormat == flv::kExHeaderSoundFormat ? audioTagTicks(tag)
                                                          : measureMp3Duration(tag.payload, tag.payloadSize);
    return withinTimeline(clock_);
  }

  int64_t drift() const { return drift_; }
  // Where the tag placed last starts in the repaired audio.
  int64_t start() const { return start_; }

 private:
  int64_t clock_ = 0;
  int64_t start_ = 0;
  int64_t drift_ = 0;
};

// The clock of the video re-timers: the audio of the non-empty tags one
// after another, and every gap (a run of empty tags, opened by the first of
// them and closed by the next non-empty one) as long as its stored length,
// as the converter lays out its track. Content measures where the audio
// stands after the content placed so far:
//   bool ready() const: false when no audio can be placed at all;
//   bool add(const TagRecord&): the tag's audio added, false past any real
//     timeline;
//   int64_t position() const: the content's length so far, in ticks.
// Each measure keeps its own truncation.
template <class Content>
class GapClock {
 public:
  GapClock() = default;
  explicit GapClock(Content content) : content_(content) {}

  // False when a non-empty tag cannot be placed (the content is not ready)
  // or when the gaps or the audio add up past any real timeline.
  bool place(const TagRecord& tag) {
    int64_t stored = storedTicks(tag);
    if (storedPayloadSize(tag) == 0) {
      if (!inGap_) {
        gapStart_ = stored;
        drift_ = audioClock_ - stored;
        inGap_ = true;
      }
      return true;
    }
    if (!content_.ready()) return false;
    if (inGap_) {
      // The gap's own length goes in before the drift is taken, so that the
      // audio after it starts later in the track by exactly that much.
      gapTotal_ += gapLength(gapStart_, stored);
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = content_.position() + gapTotal_ - stored;
      inGap_ = false;
    } else {
      drift_ = audioClock_ - stored;
    }
    if (!content_.add(tag)) return false;
    audioClock_ = content_.position() + gapTotal_;
    return true;
  }

  int64_t drift() const { return drift_; }

 private:
  Content content_;
  int64_t gapTotal_ = 0;
  int64_t audioClock_ = 0;
  int64_t gapStart_ = 0;
  int64_t drift_ = 0;
  bool inGap_ = false;
};

// Content measured tag by tag, each tag's length truncated on its own before
// it is summed: Nellymoser by its whole blocks, and any format by its rule
// (lengthOf: int64_t(const TagRecord&)).
template <int64_t (*lengthOf)(const TagRecord&)>
class SummedContent {
 public:
  bool ready() const { return true; }
  bool add(const TagRecord& tag) {
    total_ += lengthOf(tag);
    return withinTimeline(total_);
  }
  int64_t position() const { return total_; }

 private:
  int64_t total_ = 0;
};

using NellymoserClock = GapClock<SummedContent<nellymoserTagDuration>>;

}  // namespace retime
