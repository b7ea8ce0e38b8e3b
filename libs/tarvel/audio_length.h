// How long the audio of one tag plays, from its flags byte and the size of
// its payload. The repairs, the converter and the drift report all measure
// audio by these rules; a sound format that gains a length rule gets a case
// here.
//
// Lengths are in ticks of 100 ns. Each rule truncates one tag's length on
// its own: a run of tags is the sum of truncated lengths, as the repairs
// count it.
#pragma once

#include <cstdint>

#include "libs/tarvel/flv_format.h"

namespace flv {

constexpr int64_t kTicksPerSecond = 10'000'000;

// How a format's payload bytes turn into samples.
enum class LengthRule {
  kNone,        // no rule: the audio's length is not known from the tag
  kPcm,         // uncompressed: every sample frame the same number of bytes
  kNellymoser,  // 256 samples in each whole 64-byte block
  kMp3Frames,   // the MP3 frames' own headers (read from the payload)
  kAacFrames,   // one frame per raw tag, its length set by the stream's latest
                // AudioSpecificConfig: measured in turn (retime::AacFrames)
};

constexpr LengthRule lengthRuleOf(int32_t soundFormat) {
  switch (soundFormat) {
    case kPcmPlatformEndian:
    case kPcmLittleEndian: return LengthRule::kPcm;
    case kNellymoser16kMono:
    case kNellymoser8kMono:
    case kNellymoser: return LengthRule::kNellymoser;
    case kMp3: return LengthRule::kMp3Frames;
    case kAac: return LengthRule::kAacFrames;
    default: return LengthRule::kNone;
  }
}

// The SoundRate index's rate (5512 Hz for index 0); 0 for an index outside
// 0-3.
constexpr int32_t soundRateHz(int32_t rateIndex) {
  return rateIndex >= 0 && rateIndex <= 3 ? kSoundRates[rateIndex] : 0;
}

// The sample rate a tag's flags give: Nellymoser 16 kHz and 8 kHz mono at
// their fixed rates, every other format at its rate index's (0 when the
// index is outside 0-3).
constexpr int32_t sampleRateOf(int32_t soundFormat, int32_t rateIndex) {
  if (soundFormat == kNellymoser16kMono) return 16000;
  if (soundFormat == kNellymoser8kMono) return 8000;
  return soundRateHz(rateIndex);
}

// The shape of a tag's audio as its flags give it.
struct AudioShape {
  LengthRule rule = LengthRule::kNone;
  int32_t rate = 0;  // Hz; 0 when the flags give none
  int channels = 0;
  int32_t frameBytes = 0;  // bytes of one PCM sample frame (all channels)
};

// soundSize: 0 for 8-bit samples, 1 for 16-bit; soundType: 0 mono,
// 1 stereo. Nellymoser is mono whatever the flags say.
constexpr AudioShape audioShapeOf(int32_t soundFormat, int32_t rateIndex, int32_t soundSize, int32_t soundType) {
  AudioShape shape;
  shape.rule = lengthRuleOf(soundFormat);
  shape.rate = sampleRateOf(soundFormat, rateIndex);
  shape.channels = shape.rule == LengthRule::kNellymoser ? 1 : (soundType == 1 ? 2 : 1);
  shape.frameBytes = (soundSize == 1 ? 2 : 1) * (soundType == 1 ? 2 : 1);
  return shape;
}

// Nellymoser: 256 samples in each whole 64-byte block; a partial block
// plays nothing.
constexpr int64_t kNellymoserBlockBytes = 64;
constexpr int64_t kNellymoserBlockSamples = 256;

// Floor division: a negative size (never read from a file) still rounds down.
constexpr int64_t nellymoserBlocks(int64_t payloadBytes) {
  return payloadBytes >= 0 ? payloadBytes / kNellymoserBlockBytes
                           : -((-payloadBytes + kNellymoserBlockBytes - 1) / kNellymoserBlockBytes);
}

// rate: the tag's sample rate, never 0.
constexpr int64_t nellymoserTicks(int64_t payloadBytes, int32_t rate) {
  return nellymoserBlocks(payloadBytes) * (kNellymoserBlockSamples * kTicksPerSecond) / rate;
}

// PCM: the payload's bytes over the byte rate; a partial sample frame counts
// for its share. shape.rate is never 0.
constexpr int64_t pcmTicks(int64_t payloadBytes, const AudioShape& shape) {
  return payloadBytes * kTicksPerSecond / (int64_t{shape.rate} * shape.frameBytes);
}

}  // namespace flv
