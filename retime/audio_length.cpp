// The length rules of libs/tarvel/audio_length.h applied to a tag as the
// reader gives it, with the MP3 frames measured by the media library and the
// Speex frames counted by retime/speex_frames.h.
#include "libs/tarvel/audio_length.h"
#include "libs/tarvel/tag_heads.h"
#include "retime/retime.h"
#include "retime/speex_frames.h"
#include "retime/timeline.h"

namespace {

// The MP3 frames after an extended audio header: coded frames of ".mp3"
// only, in the bytes the record holds.
int64_t extendedMp3Ticks(const TagRecord& tag) {
  if (!tag.raw || tag.rawSize <= flv::kTagHeaderSize) return 0;
  const uint8_t* data = tag.raw + flv::kTagHeaderSize;
  const size_t held = tag.rawSize - flv::kTagHeaderSize;
  flv::AudioHead head;
  if (!flv::readAudioHead(data, held, &head) || head.codec != flv::kFourCcMp3 ||
      head.packetType != flv::kAudioCodedFrames || head.bodyAt >= held) {
    return 0;
  }
  return measureMp3Duration(data + head.bodyAt, static_cast<int32_t>(held - head.bodyAt));
}

}  // namespace

int64_t audioTagTicks(const TagRecord& tag) {
  const int32_t size = retime::storedPayloadSize(tag);
  if (size <= 0) return 0;
  if (tag.soundFormat == flv::kExHeaderSoundFormat) return extendedMp3Ticks(tag);
  const flv::AudioShape shape = flv::audioShapeOf(tag.soundFormat, tag.soundRate, tag.soundSize, tag.soundType);
  switch (shape.rule) {
    case flv::LengthRule::kMp3Frames:
      // Only the bytes the record holds are walked.
      return tag.payload && tag.payloadSize > 0 ? measureMp3Duration(tag.payload, tag.payloadSize) : 0;
    case flv::LengthRule::kNellymoser: return shape.rate > 0 ? flv::nellymoserTicks(size, shape.rate) : 0;
    case flv::LengthRule::kPcm: return shape.rate > 0 ? flv::pcmTicks(size, shape) : 0;
    case flv::LengthRule::kSpeexFrames:
      // The frames are found in the payload's bits: a record read whole.
      if (!tag.payload || tag.payloadSize <= 0) return 0;
      return countSpeexFrames(tag.payload, static_cast<size_t>(tag.payloadSize)) * flv::kSpeexFrameTicks;
    case flv::LengthRule::kAacFrames:  // not from one tag alone: StreamAudioLength
    case flv::LengthRule::kNone: break;
  }
  return 0;
}
