// The audio timeline that the converter writes, and that the video re-timers
// assume: the audio of the non-empty audio tags in file order, with every
// gap (a run of empty audio tags, opened by the first of them and closed by
// the next non-empty one) filled by silence as long as the gap's stored
// length. A gap still open at the end of the input adds nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The rate and channels of a tag's audio; rate 0 for a format the converter
// does not decode. Uncompressed PCM (formats 0 and 3) at the tag's rate
// (5512 Hz for index 0); Nellymoser mono at 16000 (format 4), 8000 (format 5)
// or the tag's rate (format 6).
StreamShape shapeOfTag(const AudioTag& tag);

// Linear interpolation from one rate to another, carried across calls so
// that a run of chunks comes out as long as the run, without drift.
class RateConverter {
 public:
  // Appends to out (planar, one vector per channel) the input resampled from
  // inRate to outRate.
  void convert(const std::vector<float>* in, int channels, int32_t inRate, int32_t outRate,
               std::vector<float>* out);

 private:
  double position_ = 0.0;  // next output sample, in input samples; -1 is previous_
  int32_t inRate_ = 0;
  float previous_[2] = {0.0f, 0.0f};
};

// Builds the timeline tag by tag and hands it to the sink. The first
// non-empty tag fixes the stream's rate and channel count; later tags of
// another rate are resampled to it (linearly) and of other channels mixed
// or duplicated to it.
//
// A gap's silence costs encoding time and disk like audio, so a stored
// length that no recording has in one piece (a damaged or wrapped
// timestamp: up to 49 days) is refused rather than written: a gap longer
// than kMaxGapMs, or closed gaps summing to more than kMaxTotalGapMs, end
// the timeline with kImplausibleGap.
class Timeline {
 public:
  enum class Result { kOk, kUnsupportedFormat, kDecodeFailed, kSinkFailed, kImplausibleGap };
  static constexpr int64_t kMaxGapMs = 60 * 60 * 1000;
  static constexpr int64_t kMaxTotalGapMs = 6 * kMaxGapMs;

  // fallback: the stream's shape when the input has no non-empty audio tag
  // (the sink is still begun, so that an empty but valid file comes out).
  Timeline(SampleSink& sink, StreamShape fallback) : sink_(sink), fallback_(fallback) {}

  Result add(const AudioTag& tag);
  Result finish();

  // Frames written to the sink so far, audio and silence.
  int64_t framesWritten() const { return framesWritten_; }

 private:
  Result closeGap(uint32_t storedMs);
  Result decode(const AudioTag& tag, StreamShape shape);
  Result emit(const std::vector<float>& interleaved, StreamShape shape);
  Result emitSilence(int64_t frames);
  bool write(size_t frames);

  SampleSink& sink_;
  StreamShape fallback_;
  StreamShape stream_;  // rate 0 until the sink is begun
  bool inGap_ = false;
  uint32_t gapStartMs_ = 0;
  int64_t closedGapMs_ = 0;        // summed length of the gaps closed so far
  int64_t silenceWritten_ = 0;     // frames of gap silence written so far
  int64_t framesWritten_ = 0;
  NellymoserDecoder nellymoser_;
  RateConverter rateConverter_;
  std::vector<float> decoded_;     // one tag, interleaved
  std::vector<float> planes_[2];   // one tag, planar, at the stream's shape
  std::vector<float> mapped_[2];     // one tag, planar, at its own rate
};

}  // namespace tonecast
