// What the first bytes of an audio or video tag's data say, read the same
// way by the library, the repairs and the report, in both the classic layout
// (one flags byte) and the extended one (flags, packet type, FourCC).
// Header-only: the repairs and the report use it across the library's C
// boundary.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libs/tarvel/flv_format.h"

namespace flv {

struct VideoHead {
  bool extended = false;
  int frameType = 0;
  // Extended: the VideoPacketType (past any ModEx; of the first track of a
  // Multitrack packet). Classic AVC and codec 12: the AVCPacketType. Else -1.
  int packetType = -1;
  uint32_t codec = 0;       // classic: the CodecID; extended: the FourCC
  bool multitrack = false;
  bool compositionTime = false;  // an SI24 composition time precedes the body
  size_t bodyAt = 0;        // where the codec's own bytes start in the data
};

// The classic codecs whose packets start with a packet type and a
// composition time.
inline bool hasAvcPackets(uint32_t codecId) { return codecId == kAvc || codecId == kHevcNonStandard; }

// Skips the modifier extensions of an extended header: each is a size (UI8
// plus 1; 256 means a UI16 plus 1 follows), that many bytes, then a byte
// whose low nibble is the next packet type. False when the bytes run out.
inline bool skipModEx(const uint8_t* data, size_t n, size_t* at, int* packetType, int modEx) {
  while (*packetType == modEx) {
    if (*at >= n) return false;
    size_t size = size_t{data[*at]} + 1;
    *at += 1;
    if (size == 256) {
      if (*at + 2 > n) return false;
      size = ((size_t{data[*at]} << 8) | data[*at + 1]) + 1;
      *at += 2;
    }
    if (size >= n || *at >= n - size) return false;
    *at += size;
    *packetType = data[*at] & 0x0F;
    *at += 1;
  }
  return true;
}

// The Multitrack byte and, after the FourCC, the first track's id and size.
inline bool readTrackHead(const uint8_t* data, size_t n, size_t* at, int* packetType, uint32_t* codec) {
  int multitrackType = -1;
  if (*packetType < 0) {
    if (*at >= n) return false;
    multitrackType = data[*at] >> 4;
    *packetType = data[*at] & 0x0F;
    *at += 1;
  }
  if (*at + 4 > n) return false;
  *codec = readU32(data + *at);
  *at += 4;
  if (multitrackType >= 0) *at += multitrackType == kOneTrack ? 1 : 4;  // trackId, [size UI24]
  return *at <= n;
}

// data: a video tag's data, flags byte first, n bytes of it at hand. False
// when n is too short to tell what the tag holds.
inline bool readVideoHead(const uint8_t* data, size_t n, VideoHead* h) {
  *h = VideoHead{};
  if (n == 0) return false;
  uint8_t flags = data[0];
  if (!(flags & kExHeaderBit)) {
    h->frameType = flags >> 4;
    h->codec = flags & 0x0F;
    h->bodyAt = 1;
    if (hasAvcPackets(h->codec)) {
      if (n < 2) return true;  // no packet type: neither a picture nor a header
      h->packetType = data[1];
      h->compositionTime = true;
      h->bodyAt = 5;  // AVCPacketType, CompositionTime
    }
    return true;
  }
  h->extended = true;
  h->frameType = (flags >> 4) & 0x07;
  h->packetType = flags & 0x0F;
  size_t at = 1;
  if (!skipModEx(data, n, &at, &h->packetType, kVideoModEx)) return false;
  h->multitrack = h->packetType == kVideoMultitrack;
  if (h->multitrack) h->packetType = -1;
  if (!readTrackHead(data, n, &at, &h->packetType, &h->codec)) return false;
  h->compositionTime = h->packetType == kVideoCodedFrames && (h->codec == kFourCcAvc || h->codec == kFourCcHevc);
  if (h->compositionTime) at += 3;
  h->bodyAt = at;
  return true;
}

// A place the key-frame index may point at: a key frame that holds a
// picture. Classic tags keep the frame type's word; an extended one must
// carry coded frames (not a sequence start or end, metadata, or a command).
inline bool indexedAsKeyframe(const VideoHead& h) {
  if (h.frameType != kKeyFrame) return false;
  return !h.extended || h.packetType == kVideoCodedFrames || h.packetType == kVideoCodedFramesX;
}

// A tag that shows a picture: info and command frames, sequence headers and
// ends, and metadata packets do not.
inline bool holdsPicture(const VideoHead& h) {
  if (h.frameType == kInfoFrame) return false;
  if (h.extended) return h.packetType == kVideoCodedFrames || h.packetType == kVideoCodedFramesX;
  return !hasAvcPackets(h.codec) || h.packetType == 1;
}

// The decoder configuration: an extended SequenceStart, or the sequence
// header (packet type 0) of classic AVC or codec 12.
inline bool holdsSequenceHeader(const VideoHead& h) {
  return (h.extended || hasAvcPackets(h.codec)) && h.packetType == kVideoSequenceStart;
}

struct AudioHead {
  bool extended = false;
  int soundFormat = -1;  // the flags' SoundFormat
  int packetType = -1;   // extended: the AudioPacketType; AAC: the AACPacketType
  uint32_t codec = 0;    // classic: the SoundFormat; extended: the FourCC
  bool multitrack = false;
  size_t bodyAt = 0;
};

inline bool readAudioHead(const uint8_t* data, size_t n, AudioHead* h) {
  *h = AudioHead{};
  if (n == 0) return false;
  h->soundFormat = data[0] >> 4;
  if (h->soundFormat != kExHeaderSoundFormat) {
    h->codec = static_cast<uint32_t>(h->soundFormat);
    h->bodyAt = 1;
    if (h->soundFormat == kAac && n >= 2) h->packetType = data[1];
    return true;
  }
  h->extended = true;
  h->packetType = data[0] & 0x0F;
  size_t at = 1;
  if (!skipModEx(data, n, &at, &h->packetType, kAudioModEx)) return false;
  h->multitrack = h->packetType == kAudioMultitrack;
  if (h->multitrack) h->packetType = -1;
  if (!readTrackHead(data, n, &at, &h->packetType, &h->codec)) return false;
  h->bodyAt = at;
  return true;
}

// Bytes of a tag's data enough for readVideoHead and readAudioHead on any
// header short of a long ModEx chain.
constexpr size_t kHeadPeekBytes = 32;

}  // namespace flv
