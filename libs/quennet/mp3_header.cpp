#include <array>
#include <cstdint>

#include "libs/quennet/mp3_frame.h"
#include "libs/quennet/quennet.h"

namespace quennet {

namespace {

constexpr int versionBits(const uint8_t* h) { return (h[1] >> 3) & 3; }
constexpr int layerBits(const uint8_t* h) { return (h[1] >> 1) & 3; }
constexpr int bitrateIndex(const uint8_t* h) { return h[2] >> 4; }
constexpr int rateIndex(const uint8_t* h) { return (h[2] >> 2) & 3; }
constexpr int padding(const uint8_t* h) { return (h[2] >> 1) & 1; }
constexpr bool isMono(const uint8_t* h) { return (h[3] >> 6) == 3; }
constexpr bool hasCrc(const uint8_t* h) { return (h[1] & 1) == 0; }
// MPEG-2 and MPEG-2.5 share the "low sampling frequency" tables.
constexpr bool isLowRate(const uint8_t* h) { return versionBits(h) != 3; }
constexpr int layerOf(const uint8_t* h) { return 4 - layerBits(h); }

constexpr bool hasSync(const uint8_t* h) { return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0; }

// A header whose fields all name something: sync, no reserved version,
// layer or rate, and a bitrate other than free format (0) or bad (15).
constexpr bool isValid(const uint8_t* h) {
  return hasSync(h) && versionBits(h) != 1 && layerBits(h) != 0 && bitrateIndex(h) != 0 &&
         bitrateIndex(h) != 15 && rateIndex(h) != 3;
}

// kbps by [low rate][layer - 1][bitrate index].
constexpr std::array<std::array<std::array<uint16_t, 15>, 3>, 2> kBitratesKbps = {{
    {{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    }},
    {{
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    }},
}};

constexpr std::array<int, 3> kMpeg1Rates = {44100, 48000, 32000};

constexpr int bitRateOf(const uint8_t* h) {
  return kBitratesKbps[isLowRate(h) ? 1 : 0][layerOf(h) - 1][bitrateIndex(h)] * 1000;
}

// MPEG-2 halves the MPEG-1 rates, MPEG-2.5 quarters them.
constexpr int sampleRateOf(const uint8_t* h) {
  int shift = versionBits(h) == 3 ? 0 : versionBits(h) == 2 ? 1 : 2;
  return kMpeg1Rates[rateIndex(h)] >> shift;
}

constexpr int samplesPerFrameOf(const uint8_t* h) {
  if (layerOf(h) == 1) return 384;
  if (layerOf(h) == 3 && isLowRate(h)) return 576;
  return 1152;
}

// Layer I counts in 4-byte slots; layers II and III in bytes, with one byte
// per 8 samples (bitrate / 8 * samples / rate).
constexpr int frameBytesOf(const uint8_t* h) {
  int bitRate = bitRateOf(h);
  int rate = sampleRateOf(h);
  if (layerOf(h) == 1) return (12 * bitRate / rate + padding(h)) * 4;
  int coefficient = samplesPerFrameOf(h) / 8;
  return coefficient * bitRate / rate + padding(h);
}

}  // namespace

bool parseFrameHeader(const uint8_t* h, FrameHeader* out) {
  if (!isValid(h)) return false;
  out->mpegVersion = versionBits(h) == 3 ? 1 : versionBits(h) == 2 ? 2 : 25;
  out->layer = layerOf(h);
  out->sampleRate = sampleRateOf(h);
  out->samplesPerFrame = samplesPerFrameOf(h);
  out->frameBytes = frameBytesOf(h);
  out->bitRate = bitRateOf(h);
  out->channels = isMono(h) ? 1 : 2;
  out->hasCrc = hasCrc(h);
  return true;
}

bool sameStream(const uint8_t* a, const uint8_t* b) {
  return versionBits(a) == versionBits(b) && layerBits(a) == layerBits(b) &&
         rateIndex(a) == rateIndex(b);
}

int sideInfoBytes(const FrameHeader& header) {
  if (header.mpegVersion == 1) return header.channels == 1 ? 17 : 32;
  return header.channels == 1 ? 9 : 17;
}

}  // namespace quennet

extern "C" {

// The tables are constant data; there is nothing to set up.
QUENNET_API int32_t Quennet_init(void) { return 1; }

QUENNET_API int32_t GetMP3FrameSize(const uint8_t* frame, int32_t* samplesPerFrame,
                                    int32_t* sampleRate) {
  quennet::FrameHeader header;
  if (frame == nullptr || !quennet::parseFrameHeader(frame, &header)) return -1;
  if (samplesPerFrame) *samplesPerFrame = header.samplesPerFrame;
  if (sampleRate) *sampleRate = header.sampleRate;
  return header.frameBytes;
}

}  // extern "C"
