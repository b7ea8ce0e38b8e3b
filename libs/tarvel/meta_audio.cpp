// Audio properties and tag lengths for the metadata rebuild.
#include <array>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_bits.h"
#include "libs/tarvel/meta_codecs.h"

namespace tarvel {

namespace {

constexpr std::array<int32_t, 13> kAacRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                               22050, 16000, 12000, 11025, 8000, 7350};

// kbit/s by [MPEG-1 ? 0 : 1][layer index 0 = I, 1 = II, 2 = III][bitrate index].
constexpr int16_t kMpegBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
constexpr int32_t kMpeg1Rates[3] = {44100, 48000, 32000};

struct MpegFrame {
  int32_t sampleRate = 0;
  int samples = 0;
  size_t bytes = 0;
};

// One MPEG audio frame header; false for anything that is not one
// (free-format frames included: their length is not in the header).
bool mpegFrame(const uint8_t* h, MpegFrame* f) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  int layer = 4 - ((h[1] >> 1) & 3);  // 1, 2, 3; 4 is reserved
  int bitrateIndex = h[2] >> 4;
  int rateIndex = (h[2] >> 2) & 3;
  if (version == 1 || layer == 4 || rateIndex == 3) return false;
  int kbps = kMpegBitrates[version == 3 ? 0 : 1][layer - 1][bitrateIndex];
  if (kbps == 0) return false;
  int shift = version == 3 ? 0 : (version == 2 ? 1 : 2);
  f->sampleRate = kMpeg1Rates[rateIndex] >> shift;
  bool padding = h[2] & 2;
  int64_t bitsPerSecond = int64_t{kbps} * 1000;
  if (layer == 1) {
    f->samples = 384;
    f->bytes = static_cast<size_t>((12 * bitsPerSecond / f->sampleRate + padding) * 4);
  } else {
    bool halfFrames = layer == 3 && version != 3;
    f->samples = halfFrames ? 576 : 1152;
    f->bytes = static_cast<size_t>((halfFrames ? 72 : 144) * bitsPerSecond / f->sampleRate + padding);
  }
  return true;
}

// Walks the frames in an MP3 payload. Frames are counted when their header
// lies in the payload, so a frame split across tags counts once.
int64_t mp3Micros(const uint8_t* p, size_t size) {
  int64_t micros = 0;
  size_t at = 0;
  MpegFrame f;
  while (at + 4 <= size && mpegFrame(p + at, &f)) {
    micros += int64_t{f.samples} * 1000000 / f.sampleRate;
    at += f.bytes;
  }
  return micros;
}

// SWF ADPCM: a 2-bit code size, then blocks of 4096 samples per channel, each
// opening with a 16-bit sample and a 6-bit step index per channel.
int64_t adpcmSamples(const uint8_t* p, size_t size, int channels) {
  if (size == 0) return 0;
  int64_t bitsPerCode = (p[0] >> 6) + 2;
  int64_t bits = int64_t(size) * 8 - 2;
  int64_t blockBits = channels * (22 + 4095 * bitsPerCode);
  int64_t samples = bits / blockBits * 4096;
  int64_t rest = bits % blockBits;
  if (rest >= 22 * channels) samples += 1 + (rest - 22 * channels) / (bitsPerCode * channels);
  return samples;
}

int64_t samplesToMicros(int64_t samples, int32_t rate) {
  return rate > 0 ? samples * 1000000 / rate : 0;
}

}  // namespace

AudioFormat audioFormatFromFlags(uint8_t flags) {
  AudioFormat f;
  f.codecId = flags >> 4;
  f.sampleRate = flv::kSoundRates[(flags >> 2) & 3];
  f.sampleSize = (flags & 2) ? 16 : 8;
  f.stereo = flags & 1;
  switch (f.codecId) {
    case flv::kNellymoser16kMono:
    case flv::kSpeex:
      f.sampleRate = 16000;
      f.stereo = false;
      break;
    case flv::kNellymoser8kMono:
      f.sampleRate = 8000;
      f.stereo = false;
      break;
    case flv::kG711ALaw:
    case flv::kG711MuLaw:
    case flv::kMp38k:
      f.sampleRate = 8000;
      break;
    default:
      break;
  }
  return f;
}

int32_t mp3SampleRate(const uint8_t* p, size_t size) {
  MpegFrame f;
  return size >= 4 && mpegFrame(p, &f) ? f.sampleRate : 0;
}

bool aacConfig(const uint8_t* p, size_t size, AacConfig* config) {
  if (size < 3 || p[0] != 0) return false;  // AACPacketType 0: sequence header
  BitReader in(p + 1, size - 1);
  auto objectType = [&in] {
    uint32_t type = in.bits(5);
    return type == 31 ? 32 + in.bits(6) : type;
  };
  auto rate = [&in]() -> int32_t {
    uint32_t index = in.bits(4);
    if (index == 15) return static_cast<int32_t>(in.bits(24));
    return index < kAacRates.size() ? kAacRates[index] : 0;
  };
  uint32_t type = objectType();
  int32_t coreRate = rate();
  uint32_t channelConfig = in.bits(4);
  int32_t outputRate = coreRate;
  // Explicit SBR or parametric stereo: the extension rate is what plays, and
  // the core object type follows.
  if (type == 5 || type == 29) {
    outputRate = rate();
    type = objectType();
  }
  // The general audio object types start their config with frameLengthFlag.
  constexpr uint32_t kGeneralAudio = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4) | (1u << 6) |
                                     (1u << 7) | (1u << 17) | (1u << 19) | (1u << 20) |
                                     (1u << 21) | (1u << 22) | (1u << 23);
  int frameSamples = 1024;
  if (type < 32 && ((kGeneralAudio >> type) & 1) && in.flag()) frameSamples = 960;
  if (!in.ok() || coreRate <= 0 || outputRate <= 0 || outputRate > 192000) return false;
  config->sampleRate = outputRate;
  config->channels = channelConfig == 0 ? 2 : (channelConfig == 7 ? 8 : static_cast<int>(channelConfig));
  config->frameMicros = int64_t{frameSamples} * 1000000 / coreRate;
  return true;
}

int64_t audioPayloadMicros(const AudioFormat& format, int64_t aacFrameMicros, const uint8_t* p,
                           size_t size) {
  int channels = format.stereo ? 2 : 1;
  switch (format.codecId) {
    case flv::kPcmPlatformEndian:
    case flv::kPcmLittleEndian:
      return samplesToMicros(size / (channels * (format.sampleSize / 8)), format.sampleRate);
    case flv::kG711ALaw:
    case flv::kG711MuLaw:
      return samplesToMicros(size / channels, format.sampleRate);
    case flv::kAdpcm:
      return samplesToMicros(adpcmSamples(p, size, channels), format.sampleRate);
    case flv::kMp3:
    case flv::kMp38k:
      return mp3Micros(p, size);
    case flv::kNellymoser16kMono:
    case flv::kNellymoser8kMono:
    case flv::kNellymoser:
      // Nellymoser codes 256 samples in every 64-byte block.
      return samplesToMicros(int64_t(size / 64) * 256, format.sampleRate);
    case flv::kAac:
      // One raw frame per tag (AACPacketType 1).
      if (size < 2 || p[0] != 1) return 0;
      return aacFrameMicros > 0 ? aacFrameMicros : samplesToMicros(1024, format.sampleRate);
    case flv::kSpeex:
      return 20000;  // one 20 ms frame per tag, as Flash writes it
    default:
      return 0;
  }
}

}  // namespace tarvel
