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
  kHevcNonStandard = 12,  // what some CDNs store for HEVC, laid out as AVC
};

// Enhanced tags: a video flags byte with bit 7 set is an extended header,
//   bit 7     IsExHeader (1)
//   bits 6-4  FrameType
//   bits 3-0  VideoPacketType
// then, unless the packet type is ModEx or Multitrack, a FourCC naming the
// codec and the packet's data. An audio flags byte of SoundFormat 9 is the
// extended audio header: bits 3-0 the AudioPacketType, then a FourCC.
constexpr uint8_t kExHeaderBit = 0x80;
constexpr int kExHeaderSoundFormat = 9;
enum VideoPacketType : int {
  kVideoSequenceStart = 0,
  kVideoCodedFrames = 1,  // with SI24 composition time for avc1 and hvc1
  kVideoSequenceEnd = 2,
  kVideoCodedFramesX = 3,  // composition time 0, not stored
  kVideoMetadata = 4,
  kVideoMpeg2TsSequenceStart = 5,
  kVideoMultitrack = 6,
  kVideoModEx = 7,
};
enum AudioPacketType : int {
  kAudioSequenceStart = 0,
  kAudioCodedFrames = 1,
  kAudioSequenceEnd = 2,
  kAudioMultichannelConfig = 4,
  kAudioMultitrack = 5,
  kAudioModEx = 7,
};
// Multitrack packets: bits 7-4 of the byte after the flags.
enum AvMultitrackType : int { kOneTrack = 0, kManyTracks = 1, kManyTracksManyCodecs = 2 };

// A FourCC as the big-endian number that metadata carries for it
// (videocodecid of hvc1 is 1752589105).
constexpr uint32_t fourCc(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
         (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}
constexpr uint32_t kFourCcAvc = fourCc("avc1");
constexpr uint32_t kFourCcHevc = fourCc("hvc1");
constexpr uint32_t kFourCcAv1 = fourCc("av01");
constexpr uint32_t kFourCcVp9 = fourCc("vp09");
constexpr uint32_t kFourCcVp8 = fourCc("vp08");
constexpr uint32_t kFourCcMp3 = fourCc(".mp3");
constexpr uint32_t kFourCcAac = fourCc("mp4a");
constexpr uint32_t kFourCcOpus = fourCc("Opus");
constexpr uint32_t kFourCcFlac = fourCc("fLaC");
constexpr uint32_t kFourCcAc3 = fourCc("ac-3");
constexpr uint32_t kFourCcEac3 = fourCc("ec-3");

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
