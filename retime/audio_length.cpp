// The length rules of libs/tarvel/audio_length.h applied to a tag as the
// reader gives it, with the MP3 frames measured by the media library.
#include "libs/tarvel/audio_length.h"
#include "retime/retime.h"
#include "retime/timeline.h"

int64_t audioTagTicks(const TagRecord& tag) {
  const int32_t size = retime::storedPayloadSize(tag);
  if (size <= 0) return 0;
  const flv::AudioShape shape = flv::audioShapeOf(tag.soundFormat, tag.soundRate, tag.soundSize, tag.soundType);
  switch (shape.rule) {
    case flv::LengthRule::kMp3Frames:
      // Only the bytes the record holds are walked.
      return tag.payload && tag.payloadSize > 0 ? measureMp3Duration(tag.payload, tag.payloadSize) : 0;
    case flv::LengthRule::kNellymoser: return shape.rate > 0 ? flv::nellymoserTicks(size, shape.rate) : 0;
    case flv::LengthRule::kPcm: return shape.rate > 0 ? flv::pcmTicks(size, shape) : 0;
    case flv::LengthRule::kNone: break;
  }
  return 0;
}
