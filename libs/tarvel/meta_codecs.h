// What the metadata rebuild reads from the first bytes of audio and video
// payloads: picture dimensions, the real audio rate, and how long a tag plays.
// Every function takes the bytes after the tag's one-byte flags and never
// reads past size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

struct Dimensions {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Bytes of a video payload the dimension parsers may need. AVC needs the
// whole sequence header, which is small but not fixed.
constexpr size_t kVideoPeekBytes = 16;
constexpr size_t kAvcSequenceHeaderLimit = 4096;

// Each returns false when the bytes do not hold a picture size it can trust.
bool sorensonDimensions(const uint8_t* p, size_t size, Dimensions* d);
// Screen video and screen video 2 share the first four bytes.
bool screenVideoDimensions(const uint8_t* p, size_t size, Dimensions* d);
// VP6: the adjustment byte, then a key frame's header.
bool vp6Dimensions(const uint8_t* p, size_t size, Dimensions* d);
// VP6 with alpha: the adjustment byte and a 24-bit alpha offset come first.
bool vp6AlphaDimensions(const uint8_t* p, size_t size, Dimensions* d);
// AVC: an AVC packet; only a sequence header (packet type 0) has a size.
bool avcDimensions(const uint8_t* p, size_t size, Dimensions* d);
// A sequence parameter set NAL unit (header byte first), cropping applied.
bool spsDimensions(const uint8_t* nal, size_t size, Dimensions* d);
// Dispatches on the video CodecID.
bool videoDimensions(int codecId, const uint8_t* p, size_t size, Dimensions* d);
// An AVCDecoderConfigurationRecord: its first SPS.
bool avcRecordDimensions(const uint8_t* record, size_t size, Dimensions* d);

// The codecs of the extended header. Each takes the bytes after the FourCC
// (and the composition time, where one is stored).
// An HEVCDecoderConfigurationRecord: its first SPS, conformance window applied.
bool hevcRecordDimensions(const uint8_t* record, size_t size, Dimensions* d);
// An HEVC SPS NAL unit, two-byte NAL header first.
bool hevcSpsDimensions(const uint8_t* nal, size_t size, Dimensions* d);
// An AV1CodecConfigurationRecord: the sequence header among its OBUs.
bool av1RecordDimensions(const uint8_t* record, size_t size, Dimensions* d);
// OBUs in the low-overhead format: the first sequence header's maximum frame size.
bool av1ObuDimensions(const uint8_t* obus, size_t size, Dimensions* d);
// A VP9 frame: only a key frame's uncompressed header carries the size (the
// VPCodecConfigurationRecord of a sequence start has none).
bool vp9FrameDimensions(const uint8_t* frame, size_t size, Dimensions* d);
// Bytes of a payload the extended parsers are given at most.
constexpr size_t kConfigPeekBytes = 4096;

// Audio properties from the flags byte, corrected where the flags cannot say
// the truth (Nellymoser 8 and 16 kHz, MP3 8 kHz, G.711 and Speex rates).
struct AudioFormat {
  int codecId = -1;
  int32_t sampleRate = 0;  // Hz
  int sampleSize = 16;     // 8 or 16
  bool stereo = false;
};
AudioFormat audioFormatFromFlags(uint8_t flags);

// The sample rate of the MPEG audio frame whose header starts p (MPEG-1, 2
// and 2.5: 8 to 48 kHz, which the flags byte cannot all say); 0 when no
// frame header stands there.
int32_t mp3SampleRate(const uint8_t* p, size_t size);

// AAC: an AAC packet; a sequence header (packet type 0) carries the
// AudioSpecificConfig. False when the bytes are not a usable config.
struct AacConfig {
  int32_t sampleRate = 0;  // the rate that plays: with explicit SBR, the extension rate
  int channels = 0;
  int64_t frameMicros = 0;  // length of one raw frame
};
bool aacConfig(const uint8_t* p, size_t size, AacConfig* config);

// How long an audio tag's payload plays, in microseconds; 0 when unknown.
// aacFrameMicros comes from the AAC config (0 if none seen yet).
int64_t audioPayloadMicros(const AudioFormat& format, int64_t aacFrameMicros, const uint8_t* p,
                           size_t size);

}  // namespace tarvel
