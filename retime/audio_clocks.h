// The audio clocks the repairs run: each audio tag, in file order, moves the
// clock on, and the drift it leaves (where the repaired audio puts the tag
// minus where the tag is stored) is what the video after it moves by. The
// drift report runs the same clocks to predict what a repair does. Every
// clock keeps holes in the audio (retime/audio_holes.h) as gaps: it is shown
// each video tag (video(storedMs, compositionOffset)), in file order among
// the audio tags, and the audio after a hole starts after the running
// length by the hole's length.
#pragma once

#include <cstdint>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tarvel.h"
#include "retime/aac_frames.h"
#include "retime/audio_holes.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace retime {

// The clock of the repairs that re-stamp audio from its own length (MP3,
// AAC): every audio tag is stamped with the running length of the audio in
// the tags before it, and of the holes; an empty tag adds nothing (a run of
// them that the picture goes on through is a hole). Length measures each
// audio tag once, in file order (int64_t tagTicks(const TagRecord&),
// negative when the tag cannot be measured); it may keep state, as AAC
// keeps its config.
template <class Length>
class RunningClock {
 public:
  // tag: read whole. False when the tag cannot be measured. The lengths of a
  // damaged file may add up past any real timeline: the repairs carry on as
  // they always did, and inTimeline() tells the report's prediction.
  bool place(const TagRecord& tag) {
    const int64_t stored = storedTicks(tag);
    const int64_t length = length_.tagTicks(tag);
    if (length < 0) return false;
    if (storedPayloadSize(tag) != 0) {
      const int64_t hole = holes_.sounding(stored, length);
      // Holes of a damaged file could add up past any real timeline, and
      // past what 64 bits hold: past the timeline they add nothing more.
      if (withinTimeline(clock_)) clock_ += hole;
    } else if (!audioSeen_) {
      holes_.emptyTag();  // the audio starts here, as leadingVideoDrift takes it
    }
    audioSeen_ = true;
    start_ = clock_;
    drift_ = clock_ - stored;
    clock_ += length;
    return true;
  }

  // False once the lengths add up past any real timeline (a damaged file).
  bool inTimeline() const { return withinTimeline(clock_); }

  void video(uint32_t storedMs, int32_t compositionOffset) { holes_.video(storedMs, compositionOffset); }

  int64_t drift() const { return drift_; }
  // Where the tag placed last starts in the repaired audio.
  int64_t start() const { return start_; }

 private:
  Length length_;
  AudioHoles holes_;
  bool audioSeen_ = false;
  int64_t clock_ = 0;
  int64_t start_ = 0;
  int64_t drift_ = 0;
};

// MP3: the frames' own lengths; a tag without frames (an empty one too)
// adds nothing. Extended audio: the frames after its header (".mp3" only).
struct Mp3Length {
  int64_t tagTicks(const TagRecord& tag) {
    return tag.soundFormat == flv::kExHeaderSoundFormat ? audioTagTicks(tag)
                                                        : measureMp3Duration(tag.payload, tag.payloadSize);
  }
};

using Mp3Clock = RunningClock<Mp3Length>;
// AAC: each raw frame by the latest sequence header (StreamAudioLength).
using AacClock = RunningClock<StreamAudioLength>;

// The clock of the video re-timers: the audio of the non-empty tags one
// after another, every gap (a run of empty tags, opened by the first of
// them and closed by the next non-empty one) as long as its stored length,
// and every hole as long as its step less the audio before it (measured by
// audioTagTicks), as the converter lays out its track. Content measures where the audio
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
      holes_.emptyTag();
      if (!inGap_) {
        gapStart_ = stored;
        drift_ = audioClock_ - stored;
        inGap_ = true;
      }
      return true;
    }
    if (!content_.ready()) return false;
    const int64_t hole = holes_.sounding(stored, audioTagTicks(tag));
    if (inGap_) {
      // The gap's own length goes in before the drift is taken, so that the
      // audio after it starts later in the track by exactly that much.
      gapTotal_ += gapLength(gapStart_, stored);
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = content_.position() + gapTotal_ - stored;
      inGap_ = false;
    } else if (hole > 0) {
      gapTotal_ += hole;
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = content_.position() + gapTotal_ - stored;
    } else {
      drift_ = audioClock_ - stored;
    }
    if (!content_.add(tag)) return false;
    audioClock_ = content_.position() + gapTotal_;
    return true;
  }

  void video(uint32_t storedMs, int32_t compositionOffset) { holes_.video(storedMs, compositionOffset); }
  int64_t drift() const { return drift_; }

 private:
  Content content_;
  AudioHoles holes_;
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
// Speex: 20 ms for each frame in a payload; its tags read whole.
using SpeexClock = GapClock<SummedContent<audioTagTicks>>;

}  // namespace retime
