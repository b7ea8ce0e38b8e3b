// How long AAC audio tags play. An AAC stream in FLV carries its
// AudioSpecificConfig in a sequence header (AACPacketType 0); every raw tag
// (AACPacketType 1) then holds one access unit of 1024 samples (960 with the
// frame-length flag; 512 or 480 for the low-delay object type) at the core
// sampling rate. With SBR (HE-AAC, signalled or not) the decoder plays twice
// as many samples at twice the rate, so a frame lasts the same: the core
// rate is the one that counts. Extended audio of FourCC "mp4a" is the same
// stream: its SequenceStart holds the config, its CodedFrames one raw frame,
// both after the FourCC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libs/tarvel/tarvel.h"

namespace retime {

struct AacFrameFormat {
  int32_t coreRate = 0;      // Hz: the samplingFrequency that comes first
  int32_t frameSamples = 0;  // 1024, 960, 512 or 480
  int32_t outputRate = 0;    // what plays: the extension rate with explicit SBR
};

// Reads an AudioSpecificConfig (the bytes after the AACPacketType). False
// when it is empty, cut short, names a reserved rate, or an object type whose
// frame length this does not know; format is then left alone.
bool parseAacConfig(const uint8_t* config, size_t size, AacFrameFormat* format);

// The running length of an AAC stream, tag by tag. A sequence header sets the
// frame format from its place on (a recorder that switches sources mid-file
// writes a new one); positions are counted in samples since the latest
// format change, so that no rounding adds up over a long file.
class AacFrames {
 public:
  static constexpr int64_t kUnmeasurable = -1;

  // The ticks the tag plays: 0 for a sequence header, for a tag of another
  // sound format and for a raw tag that holds no frame bytes;
  // kUnmeasurable for a raw frame while no usable config applies (none seen
  // yet, or the latest one was empty or undecodable), for which no length
  // would be more than a guess.
  int64_t tagTicks(const TagRecord& tag);

 private:
  int64_t position() const;

  AacFrameFormat format_;
  bool usable_ = false;
  int64_t base_ = 0;     // ticks at the latest format change
  int64_t samples_ = 0;  // core samples since then
};

// How long each audio tag of one stream plays, tag after tag in file order:
// AAC frames by the stream's latest config, every other format by its rule
// (audioTagTicks). Negative (AacFrames::kUnmeasurable) for a tag that cannot
// be measured.
class StreamAudioLength {
 public:
  int64_t tagTicks(const TagRecord& tag);

 private:
  AacFrames aac_;
};

}  // namespace retime
