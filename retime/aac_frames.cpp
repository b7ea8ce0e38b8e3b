// AudioSpecificConfig as ISO/IEC 14496-3 lays it out: audioObjectType
// (5 bits, 31 escapes to 32 + 6 more), samplingFrequencyIndex (4 bits, 15
// escapes to a 24-bit rate), channelConfiguration (4 bits); for explicit
// SBR or parametric stereo (object types 5 and 29) the extension's rate
// index and the core's object type follow; then, for the general audio
// types, GASpecificConfig opens with frameLengthFlag.
#include "retime/aac_frames.h"

#include "libs/tarvel/audio_length.h"
#include "libs/tarvel/tag_heads.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace retime {

namespace {

constexpr int32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000, 7350};
constexpr uint8_t kSequenceHeader = 0;
constexpr uint8_t kRawFrame = 1;
constexpr uint32_t kSbr = 5;
constexpr uint32_t kParametricStereo = 29;
constexpr uint32_t kLowDelay = 23;

class Bits {
 public:
  Bits(const uint8_t* p, size_t size) : p_(p), size_(size) {}
  uint32_t take(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (at_ >= size_ * 8) {
        short_ = true;
        return 0;
      }
      v = (v << 1) | ((p_[at_ / 8] >> (7 - at_ % 8)) & 1);
      ++at_;
    }
    return v;
  }
  bool ok() const { return !short_; }

 private:
  const uint8_t* p_;
  size_t size_;
  size_t at_ = 0;
  bool short_ = false;
};

uint32_t objectType(Bits& in) {
  uint32_t type = in.take(5);
  return type == 31 ? 32 + in.take(6) : type;
}

int32_t samplingRate(Bits& in) {
  uint32_t index = in.take(4);
  if (index == 15) return static_cast<int32_t>(in.take(24));
  return index < 13 ? kAacRates[index] : 0;
}

// Frame length in samples of the object types whose config opens with
// GASpecificConfig; 0 for any other type.
int32_t frameSamples(uint32_t type, bool shortFrames) {
  switch (type) {
    case 1: case 2: case 3: case 4: case 6: case 7:    // AAC main, LC, SSR, LTP, scalable, TwinVQ
    case 17: case 19: case 20: case 21: case 22:       // their error-resilient forms, BSAC
      return shortFrames ? 960 : 1024;
    case kLowDelay:
      return shortFrames ? 480 : 512;
    default:
      return 0;
  }
}

}  // namespace

bool parseAacConfig(const uint8_t* config, size_t size, AacFrameFormat* format) {
  Bits in(config, size);
  uint32_t type = objectType(in);
  int32_t coreRate = samplingRate(in);
  in.take(4);  // channelConfiguration
  int32_t outputRate = coreRate;
  if (type == kSbr || type == kParametricStereo) {
    outputRate = samplingRate(in);
    type = objectType(in);
  }
  bool shortFrames = in.take(1) != 0;
  int32_t samples = frameSamples(type, shortFrames);
  if (!in.ok() || samples == 0 || coreRate <= 0 || outputRate <= 0) return false;
  *format = {coreRate, samples, outputRate};
  return true;
}

int64_t AacFrames::position() const { return base_ + samples_ * kTicksPerSecond / format_.coreRate; }

namespace {

// An AAC packet: the packet type (classic AACPacketType; for extended audio
// of FourCC "mp4a" the AudioPacketType, whose SequenceStart and CodedFrames
// are 0 and 1 as well) and the bytes after it, in what the record holds.
struct AacPacket {
  int type = -1;
  const uint8_t* body = nullptr;
  size_t size = 0;
};

bool aacPacketOf(const TagRecord& tag, AacPacket* packet) {
  if (tag.soundFormat == flv::kAac) {
    // The bytes read: audio is read whole.
    if (tag.payloadSize <= 0 || !tag.payload) return false;
    *packet = {tag.payload[0], tag.payload + 1, static_cast<size_t>(tag.payloadSize - 1)};
    return true;
  }
  if (tag.soundFormat != flv::kExHeaderSoundFormat || !tag.raw || tag.rawSize <= flv::kTagHeaderSize) return false;
  const uint8_t* data = tag.raw + flv::kTagHeaderSize;
  const size_t held = tag.rawSize - flv::kTagHeaderSize;
  flv::AudioHead head;
  if (!flv::readAudioHead(data, held, &head) || head.codec != flv::kFourCcAac || head.bodyAt > held) return false;
  *packet = {head.packetType, data + head.bodyAt, held - head.bodyAt};
  return true;
}

}  // namespace

int64_t AacFrames::tagTicks(const TagRecord& tag) {
  AacPacket packet;
  if (!aacPacketOf(tag, &packet)) return 0;
  if (packet.type == kSequenceHeader) {
    if (usable_) base_ = position();
    samples_ = 0;
    usable_ = parseAacConfig(packet.body, packet.size, &format_);
    return 0;
  }
  if (packet.type != kRawFrame || packet.size == 0) return 0;
  if (!usable_) return kUnmeasurable;
  int64_t before = position();
  samples_ += format_.frameSamples;
  return position() - before;
}

int64_t StreamAudioLength::tagTicks(const TagRecord& tag) {
  AacPacket packet;
  if (aacPacketOf(tag, &packet)) return aac_.tagTicks(tag);
  return audioTagTicks(tag);
}

}  // namespace retime
