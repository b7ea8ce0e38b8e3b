// The audio timeline that the converter writes, and that the video re-timers
// assume: the audio of the non-empty audio tags in file order, with every
// gap (a run of empty audio tags, opened by the first of them and closed by
// the next non-empty one) filled by silence as long as the gap's stored
// length. A gap still open at the end of the input adds nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "retime/audio_holes.h"
#include "tonecast/audio_decoders.h"

namespace tonecast {

// Where the timeline's samples go: planar float samples in [-1, 1] at one
// rate and channel count for the whole stream.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  // Called once, before the first write. False refuses the stream.
  virtual bool begin(int32_t rate, int channels) = 0;
  // planes[c][i] is sample i of channel c. False on failure.
  virtual bool write(const float* const* planes, size_t frames) = 0;
  // Digital silence, as write() with zeros would give it; a sink may write
  // a long stretch more cheaply. False on failure.
  virtual bool writeSilence(int64_t frames);
};

// One audio tag as the FLV reader gives it: the flags byte's fields and the
// payload that follows it. A payload of 0 bytes makes the tag empty.
struct AudioTag {
  uint32_t storedMs = 0;
  int32_t soundFormat = 0;
  int32_t soundRate = 0;  // index 0-3
  int32_t soundSize = 0;  // 0: 8-bit, 1: 16-bit
  int32_t soundType = 0;  // 0: mono, 1: stereo
  const uint8_t* payload = nullptr;
  size_t payloadSize = 0;
};

// A tag's audio as decoded: its rate in Hz and channel count.
struct StreamShape {
  int32_t rate = 0;
  int channels = 0;
};

// How long a tag plays, in ticks, by libs/tarvel/audio_length.h's rules (as
// the video re-timers count it); 0 for a format the converter does not
// decode.
int64_t tagTicks(const AudioTag& tag);

// The rate and channels of a tag's audio, as libs/tarvel/audio_length.h
// gives them; rate 0 for a format the converter does not decode. It decodes
// uncompressed PCM (formats 0 and 3) and Nellymoser (formats 4, 5 and 6).
StreamShape shapeOfTag(const AudioTag& tag);

// Linear interpolation from one rate to another, carried across calls so
// that a run of chunks comes out as long as the run, without drift. Meant
// for upsampling: it has no low-pass, so a lower outRate aliases.
class RateConverter {
 public:
  // Appends to out (planar, one vector per channel) the input resampled from
  // inRate to outRate.
  void convert(const std::vector<float>* in, int channels, int32_t inRate, int32_t outRate,
               std::vector<float>* out);

 private:
  // Both in samples of the current input rate, 0 being the chunk's first.
  double position_ = 0.0;       // the next output sample
  double previousAt_ = -1.0;    // the last sample of the chunk before, previous_
  int32_t inRate_ = 0;
  float previous_[2] = {0.0f, 0.0f};
};

// Builds the timeline tag by tag and hands it to the sink.
//
// A first pass (survey) over the audio tags fixes the stream: the highest
// rate of any tag, stereo when any tag is stereo. Tags at a lower rate are
// resampled up to it (linearly), mono tags duplicated into stereo: audio is
// never decimated, so it never aliases, and one odd tag cannot lower the
// whole recording. Without a survey the first non-empty tag fixes the
// stream, and a later tag of a higher rate or more channels is brought
// down to it.
//
// Nellymoser: libavcodec's decoder gives each 128-sample hop only when the
// next block's overlap completes it, so its output lags the coded signal by
// kNellymoserDelay samples at the tag's rate. That many samples are dropped
// at the stream's start and made up by silence at its end, so the audio
// sits where PCM audio would, and the stream keeps the length that its
// whole blocks give it.
//
// Gaps: a gap is silence as long as its stored length, however long (a
// muted microphone), written through SampleSink::writeSilence; a gap
// closed by a tag stored before its opening one gives none. Only a gap that
// cannot be real ends the timeline with kImplausibleGap: one of 2^31 ms or
// more (a stamp that wrapped below zero, as the format reads a stamp with
// the top bit set), one longer than the survey's span (from the first audio
// tag's stamp to the last's, wrapped stamps left out), or one that brings
// the closed gaps' total past that span.
//
// Holes (retime/audio_holes.h: sound lost while the picture went on, with
// no empty tags to mark it) are silence too, of the step less the audio
// before it, as the video re-timers keep them; video() shows the rule the
// picture. Holes and gaps together may not outgrow the file's span, from
// its earliest stamp (audio or video, surveyed) to its latest: past it they
// end the timeline with kImplausibleGap.
class Timeline {
 public:
  enum class Result { kOk, kUnsupportedFormat, kDecodeFailed, kSinkFailed, kImplausibleGap };
  static constexpr size_t kNellymoserDelay = 128;

  // fallback: the stream's shape when the input has no non-empty audio tag
  // (the sink is still begun, so that an empty but valid file comes out).
  Timeline(SampleSink& sink, StreamShape fallback) : sink_(sink), fallback_(fallback) {}

  // The first pass: every audio tag, in file order, before the first add().
  void survey(const AudioTag& tag);
  // The first pass's video tags: their stamps widen the span holes may fill.
  void surveyVideo(uint32_t storedMs);
  Result add(const AudioTag& tag);
  // A video tag, in file order among the audio tags given to add(), and
  // its composition offset (retime::compositionOffset).
  void video(uint32_t storedMs, int32_t compositionOffset) { holes_.video(storedMs, compositionOffset); }
  Result finish();

  // Frames written to the sink so far, audio and silence.
  int64_t framesWritten() const { return framesWritten_; }

 private:
  Result closeGap(uint32_t storedMs);
  Result addGapSilence(int64_t ticks);
  Result decode(const AudioTag& tag, StreamShape shape);
  Result emit(const std::vector<float>& interleaved, StreamShape shape);
  Result emitSilence(int64_t frames);
  bool write(size_t frames);

  SampleSink& sink_;
  StreamShape fallback_;
  StreamShape surveyed_;           // rate 0 until a tag with audio is surveyed
  bool surveyedStamp_ = false;
  uint32_t firstStampMs_ = 0;
  uint32_t lastStampMs_ = 0;
  bool anyStamp_ = false;          // audio or video, for the span of holes
  uint32_t earliestMs_ = 0;
  uint32_t latestMs_ = 0;
  StreamShape stream_;  // rate 0 until the sink is begun
  bool inGap_ = false;
  uint32_t gapStartMs_ = 0;
  int64_t closedGapMs_ = 0;        // summed length of the gaps closed so far
  int64_t silenceTicks_ = 0;       // ... and of the holes, in ticks
  int64_t silenceWritten_ = 0;     // frames of gap silence written so far
  retime::AudioHoles holes_;
  int64_t framesWritten_ = 0;
  size_t nellymoserDropped_ = 0;   // of the decoder's first kNellymoserDelay samples
  int32_t nellymoserRate_ = 0;     // the rate of the last Nellymoser tag
  NellymoserDecoder nellymoser_;
  RateConverter rateConverter_;
  std::vector<float> decoded_;     // one tag, interleaved
  std::vector<float> planes_[2];   // one tag, planar, at the stream's shape
  std::vector<float> mapped_[2];     // one tag, planar, at its own rate
};

}  // namespace tonecast
