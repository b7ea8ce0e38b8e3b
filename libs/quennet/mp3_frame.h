// MPEG audio frame headers (MPEG-1, MPEG-2 and MPEG-2.5, layers I to III),
// shared by GetMP3FrameSize and the media reader. Internal to the library.
//
// Header (4 bytes, big-endian bit order):
//   byte 0      sync, all ones
//   byte 1      bits 7-5 sync, 4-3 version (00 2.5, 01 reserved, 10 2, 11 1),
//               2-1 layer (00 reserved, 01 III, 10 II, 11 I), 0 no-CRC
//   byte 2      bits 7-4 bitrate index, 3-2 sample-rate index, 1 padding
//   byte 3      bits 7-6 channel mode (11 mono)
#pragma once

#include <cstdint>

namespace quennet {

struct FrameHeader {
  int mpegVersion = 0;  // 1, 2, or 25 for MPEG-2.5
  int layer = 0;        // 1, 2 or 3
  int sampleRate = 0;   // Hz
  int samplesPerFrame = 0;
  int frameBytes = 0;   // whole frame, header included
  int bitRate = 0;      // bits per second
  int channels = 0;     // 1 or 2
  bool hasCrc = false;  // a 16-bit CRC follows the header
};

// Fills out from the 4 bytes at h; false when they are no valid header
// (free-format bitrates included: their length is not in the header).
bool parseFrameHeader(const uint8_t* h, FrameHeader* out);

// True when two valid headers can belong to one stream: same version, layer
// and sample rate.
bool sameStream(const uint8_t* a, const uint8_t* b);

// Bytes of layer III side information after the header (and its CRC).
int sideInfoBytes(const FrameHeader& header);

}  // namespace quennet
