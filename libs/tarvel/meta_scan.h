// The metadata rebuild's walk over an FLV file: tag headers and the few
// payload bytes that name a picture size, a key frame or an audio config.
// Payloads are skipped otherwise; memory grows only with the key frame index.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/tarvel/meta_codecs.h"

namespace platform {
class File;
}

namespace tarvel {

// Times are in ms, read as the format's signed 32-bit value: a stamp with
// the top bit set is a time before 0 (some writers move video there), not
// one 24.8 to 49.7 days into the file.
struct Keyframe {
  int64_t timestamp;   // ms
  int64_t position;    // tag header offset in the scanned file
};

// A byte range [begin, end) of the scanned file.
struct ByteRange {
  int64_t begin;
  int64_t end;
};

struct FlvScan {
  int64_t fileSize = 0;
  int64_t firstTag = 0;   // offset of the first tag header
  int64_t endOfTags = 0;  // end of the last complete tag and its PreviousTagSize
  bool truncated = false; // bytes after endOfTags do not form a tag
  // onMetaData tags, with their PreviousTagSize, in file order.
  std::vector<ByteRange> staleMetadata;

  bool hasAudio = false;
  bool hasVideo = false;
  // Sizes as the field's tools count them: tags with their 11-byte headers,
  // and data without the flags byte for the rates.
  int64_t audioTagBytes = 0;
  int64_t audioDataBytes = 0;
  int64_t videoTagBytes = 0;
  int64_t videoDataBytes = 0;
  int64_t keptScriptTagBytes = 0;

  int64_t lastTimestamp = 0;  // latest audio, video or kept script timestamp, 0 at least
  // Video frames (sequence headers and info frames aside).
  uint64_t videoFrames = 0;
  int64_t firstVideoFrameTime = 0;
  int64_t lastVideoFrameTime = 0;
  int64_t videoCodecId = -1;  // the CodecID, or an extended header's FourCC as a number
  Dimensions dimensions;  // zero when unknown
  bool lastVideoIsKeyframe = false;
  std::vector<Keyframe> keyframes;

  AudioFormat audio;  // from the first audio tag with a flags byte
  // Extended audio: the FourCC, and audio.codecId is -1. 0 for classic audio.
  uint32_t audioFourCc = 0;
  AacConfig aac;      // sampleRate 0 without a usable AAC config
  int32_t mp3SampleRate = 0;  // of the first MP3 frame header; 0 until one is seen
  // The audio tag with the latest timestamp, for the length of the last frame.
  int64_t lastAudioTime = 0;
  int64_t lastAudioPosition = -1;
  uint32_t lastAudioDataSize = 0;
  int64_t lastAudioMicros = 0;  // how long that tag plays
};

// Walks the file from its start. False when it is not an FLV file or cannot
// be read; a truncated or damaged tag ends the walk (truncated is set).
bool scanFlv(platform::File& file, FlvScan* scan);

// The most the walk reads of one tag at once.
constexpr size_t kScanWindowBytes = 64 * 1024;

// Where the walk finds a tag's bytes: n bytes at an offset of the scanned
// file (n up to kScanWindowBytes), or null when they cannot be had.
class ByteSource {
 public:
  virtual const uint8_t* at(int64_t offset, size_t n) = 0;

 protected:
  ~ByteSource() = default;
};

// The walk's step for one tag: what the tag whose 11-byte header starts at
// tagAt adds to the scan. False for a tag type the walk stops at (it is not
// a tag of an FLV file). The caller keeps firstTag, endOfTags and fileSize.
bool noteTag(ByteSource& in, int64_t tagAt, const uint8_t* header, FlvScan* scan);
// The walk's last step: how long the latest audio tag plays.
void measureLastAudio(ByteSource& in, FlvScan* scan);

}  // namespace tarvel
