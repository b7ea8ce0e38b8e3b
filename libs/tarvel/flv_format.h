// The FLV file format: constants and byte-level helpers shared by the
// reader, the writer, the probe and the metadata rebuild.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flv {

// File header (9 bytes in version 1):
//   0  'F' 'L' 'V'
//   3  version (1)
//   4  type flags: bit 2 audio, bit 0 video
//   5  DataOffset, UI32 big-endian: the header's size
// followed by PreviousTagSize0 (UI32, 0).
constexpr size_t kHeaderSize = 9;
constexpr uint8_t kFlagAudio = 0x04;
constexpr uint8_t kFlagVideo = 0x01;

// Tag header (11 bytes):
//   0  TagType: bits 4-0 the type; bit 5 Filter (encrypted)
//   1  DataSize, UI24 big-endian: bytes after this header
//   4  Timestamp, UI24 big-endian: milliseconds, bits 23-0
//   7  TimestampExtended, UI8: milliseconds, bits 31-24
//   8  StreamID, UI24 (0)
// then DataSize bytes of data and PreviousTagSize (UI32 BE: 11 + DataSize).
constexpr size_t kTagHeaderSize = 11;
constexpr size_t kPreviousTagSizeBytes = 4;
constexpr uint32_t kMaxDataSize = 0xFFFFFF;

enum TagType : uint8_t { kAudio = 8, kVideo = 9, kScript = 18 };

// Audio flags byte: SoundFormat bits 7-4, SoundRate bits 3-2, SoundSize bit 1,
// SoundType bit 0.
enum SoundFormat : int {
  kPcmPlatformEndian = 0,
  kAdpcm = 1,
  kMp3 = 2,
  kPcmLittleEndian = 3,
  kNellymoser16kMono = 4,
  kNellymoser8kMono = 5,
  kNellymoser = 6,
  kG711ALaw = 7,
  kG711MuLaw = 8,
  kAac = 10,
  kSpeex = 11,
  kMp38k = 14,
  kDeviceSpecific = 15,
};
// SoundRate index to Hz (5.5 kHz is 5512 Hz).
constexpr int32_t kSoundRates[4] = {5512, 11025, 22050, 44100};

// Video flags byte: FrameType bits 7-4, CodecID bits 3-0.
enum VideoFrameType : int { kKeyFrame = 1, kInterFrame = 2, kDisposableInterFrame = 3,
                            kGeneratedKeyFrame = 4, kInfoFrame = 5 };
enum VideoCodec : int {
  kSorensonH263 = 2,
  kScreenVideo = 3,
  kVp6 = 4,
  kVp6Alpha = 5,
  kScreenVideo2 = 6,
  kAvc = 7,
};

// AMF0 type markers used in script data.
enum Amf0 : uint8_t {
  kAmfNumber = 0x00,
  kAmfBoolean = 0x01,
  kAmfString = 0x02,
  kAmfObject = 0x03,
  kAmfMovieClip = 0x04,
  kAmfNull = 0x05,
  kAmfUndefined = 0x06,
  kAmfReference = 0x07,
  kAmfEcmaArray = 0x08,
  kAmfObjectEnd = 0x09,
  kAmfStrictArray = 0x0A,
  kAmfDate = 0x0B,
  kAmfLongString = 0x0C,
};

inline uint32_t readU24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t readU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void writeU24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
inline void writeU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
// Timestamp and TimestampExtended of a tag header.
inline uint32_t readTimestamp(const uint8_t* tagHeader) {
  return readU24(tagHeader + 4) | (uint32_t{tagHeader[7]} << 24);
}
inline void writeTimestamp(uint8_t* tagHeader, uint32_t ms) {
  writeU24(tagHeader + 4, ms & 0xFFFFFF);
  tagHeader[7] = static_cast<uint8_t>(ms >> 24);
}

}  // namespace flv
