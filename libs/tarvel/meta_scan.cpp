// The walk reads through a small window that is refilled at the next tag
// header, so a tag's payload costs nothing unless its first bytes are needed.
#include "libs/tarvel/meta_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "libs/tarvel/amf0.h"
#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tag_heads.h"
#include "platform/file.h"

namespace tarvel {

namespace {

// The most the walk ever asks for at once: the last audio tag's payload,
// measured for its length, is read up to this much.
constexpr size_t kWindowBytes = kScanWindowBytes;
// Small refills for the common case of hopping from header to header.
constexpr size_t kRefillBytes = 4 * 1024;

class WindowReader final : public ByteSource {
 public:
  WindowReader(platform::File& file, int64_t fileSize) : file_(file), fileSize_(fileSize) {}

  // Points at n bytes at offset (n up to kWindowBytes), or null when they
  // cannot be read.
  const uint8_t* at(int64_t offset, size_t n) override {
    if (n > kWindowBytes || offset < 0 || offset + static_cast<int64_t>(n) > fileSize_) return nullptr;
    if (offset < start_ || offset + static_cast<int64_t>(n) > start_ + static_cast<int64_t>(filled_)) {
      size_t want = std::max(n, kRefillBytes);
      want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), fileSize_ - offset));
      int64_t got = file_.readAt(buffer_.data(), static_cast<int64_t>(want), offset);
      if (got < static_cast<int64_t>(n)) return nullptr;
      start_ = offset;
      filled_ = static_cast<size_t>(got);
    }
    return buffer_.data() + (offset - start_);
  }

 private:
  platform::File& file_;
  int64_t fileSize_;
  std::array<uint8_t, kWindowBytes> buffer_;
  int64_t start_ = 0;
  size_t filled_ = 0;
};

bool isMetadataName(const uint8_t* data, size_t size) {
  std::string name;
  return readAmf0Name(data, size, &name) && name == "onMetaData";
}

// Extended audio: the FourCC names the codec, the flags nothing more; the
// rate comes from the MP3 frame or the AAC config when there is one.
void noteExtendedAudio(ByteSource& in, int64_t dataAt, uint32_t size, FlvScan* s) {
  size_t n = std::min<size_t>(size, flv::kHeadPeekBytes);
  const uint8_t* head = in.at(dataAt, n);
  flv::AudioHead a;
  if (!head || !flv::readAudioHead(head, n, &a)) return;
  if (s->audioFourCc == 0) s->audioFourCc = a.codec;
  if (a.codec != s->audioFourCc || a.bodyAt >= size) return;
  size_t body = size - a.bodyAt;
  if (a.codec == flv::kFourCcMp3 && a.packetType == flv::kAudioCodedFrames && s->mp3SampleRate == 0 && body >= 4) {
    if (const uint8_t* frame = in.at(dataAt + a.bodyAt, 4)) s->mp3SampleRate = mp3SampleRate(frame, 4);
  }
  if (a.codec == flv::kFourCcAac && a.packetType == flv::kAudioSequenceStart && s->aac.sampleRate == 0) {
    // The AudioSpecificConfig as a classic AAC sequence header carries it.
    std::array<uint8_t, 65> config{};
    size_t m = std::min<size_t>(body, config.size() - 1);
    if (const uint8_t* asc = in.at(dataAt + a.bodyAt, m)) {
      std::memcpy(config.data() + 1, asc, m);
      aacConfig(config.data(), m + 1, &s->aac);
    }
  }
}

void noteAudio(ByteSource& in, int64_t dataAt, uint32_t size, int64_t timestamp, int64_t tagAt,
               FlvScan* s) {
  s->audioTagBytes += flv::kTagHeaderSize + size;
  if (size == 0) return;  // an empty tag: no frame, no format
  s->audioDataBytes += size - 1;
  const uint8_t* head = in.at(dataAt, std::min<size_t>(size, 2));
  if (!head) return;
  int format = head[0] >> 4;
  if (!s->hasAudio) {
    s->hasAudio = true;
    s->audio = audioFormatFromFlags(head[0]);
    if (format == flv::kExHeaderSoundFormat) s->audio = AudioFormat{};
  }
  if (format == flv::kExHeaderSoundFormat) {
    noteExtendedAudio(in, dataAt, size, s);
  } else if ((format == flv::kMp3 || format == flv::kMp38k) && s->mp3SampleRate == 0 && size >= 5) {
    // MP3 at 48, 32 kHz and the MPEG-2 and 2.5 rates: the flags cannot say
    // them, the first frame header does.
    if (const uint8_t* frame = in.at(dataAt + 1, 4)) s->mp3SampleRate = mp3SampleRate(frame, 4);
  }
  if (s->audio.codecId == flv::kAac && s->aac.sampleRate == 0 && size >= 3 && head[1] == 0) {
    size_t n = std::min<size_t>(size - 1, 64);
    if (const uint8_t* config = in.at(dataAt + 1, n)) aacConfig(config, n, &s->aac);
  }
  if (s->lastAudioPosition < 0 || timestamp >= s->lastAudioTime) {
    s->lastAudioTime = timestamp;
    s->lastAudioPosition = tagAt;
    s->lastAudioDataSize = size;
  }
}

// The picture size from a tag of the file's codec: a classic payload's
// first bytes, or the decoder configuration (a VP9 key frame) of the codecs
// with packets.
void noteDimensions(ByteSource& in, int64_t dataAt, uint32_t size, const flv::VideoHead& v, FlvScan* s) {
  if (v.bodyAt >= size) return;
  size_t body = size - v.bodyAt;
  if (!v.extended && v.codec != flv::kHevcNonStandard) {
    size_t limit = v.codec == flv::kAvc ? kAvcSequenceHeaderLimit : kVideoPeekBytes;
    size_t n = std::min<size_t>(size - 1, limit);
    if (v.codec != flv::kAvc || v.packetType == 0) {
      if (const uint8_t* payload = in.at(dataAt + 1, n)) videoDimensions(static_cast<int>(v.codec), payload, n, &s->dimensions);
    }
    return;
  }
  size_t n = std::min(body, kConfigPeekBytes);
  bool keyPicture = v.frameType == flv::kKeyFrame && flv::holdsPicture(v);
  if (!flv::holdsSequenceHeader(v) && !(v.codec == flv::kFourCcVp9 && keyPicture)) return;
  const uint8_t* p = in.at(dataAt + v.bodyAt, n);
  if (!p) return;
  switch (v.codec) {
    case flv::kHevcNonStandard:
    case flv::kFourCcHevc: hevcRecordDimensions(p, n, &s->dimensions); break;
    case flv::kFourCcAvc: avcRecordDimensions(p, n, &s->dimensions); break;
    case flv::kFourCcAv1: av1RecordDimensions(p, n, &s->dimensions); break;
    case flv::kFourCcVp9: if (keyPicture) vp9FrameDimensions(p, n, &s->dimensions); break;
    default: break;
  }
}

void noteVideo(ByteSource& in, int64_t dataAt, uint32_t size, int64_t timestamp, int64_t tagAt,
               FlvScan* s) {
  s->videoTagBytes += flv::kTagHeaderSize + size;
  if (size == 0) return;
  s->videoDataBytes += size - 1;
  size_t n = std::min<size_t>(size, flv::kHeadPeekBytes);
  const uint8_t* head = in.at(dataAt, n);
  flv::VideoHead v;
  if (!head || !flv::readVideoHead(head, n, &v)) return;
  if (!s->hasVideo) {
    s->hasVideo = true;
    s->videoCodecId = v.codec;
  }
  if (s->dimensions.width == 0 && v.codec == s->videoCodecId && v.frameType != flv::kInfoFrame) {
    noteDimensions(in, dataAt, size, v, s);
  }
  if (v.frameType == flv::kInfoFrame) return;
  if (flv::holdsPicture(v)) {
    if (s->videoFrames == 0) s->firstVideoFrameTime = s->lastVideoFrameTime = timestamp;
    ++s->videoFrames;
    s->lastVideoFrameTime = std::max(s->lastVideoFrameTime, timestamp);
  }
  // The frame type decides, as players and the field's tools read it: an AVC
  // end-of-sequence tag flagged as a key frame is a place to seek to as well.
  // An extended tag is one only when it holds coded frames.
  bool keyframe = flv::indexedAsKeyframe(v);
  if (v.extended && !flv::holdsPicture(v)) return;  // headers and metadata leave the last frame as it was
  s->lastVideoIsKeyframe = keyframe;
  // One entry per time: an AVC sequence header and its picture share a
  // timestamp, and seeking must land on the header.
  if (keyframe && (s->keyframes.empty() || s->keyframes.back().timestamp != timestamp)) {
    s->keyframes.push_back({timestamp, tagAt});
  }
}

}  // namespace

bool scanFlv(platform::File& file, FlvScan* s) {
  *s = FlvScan{};
  s->fileSize = file.size();
  if (s->fileSize < 0) return false;
  WindowReader in(file, s->fileSize);
  const uint8_t* header = in.at(0, flv::kHeaderSize);
  if (!header || std::memcmp(header, "FLV", 3) != 0) return false;
  uint32_t dataOffset = flv::readU32(header + 5);
  if (dataOffset < flv::kHeaderSize) return false;
  s->firstTag = int64_t{dataOffset} + flv::kPreviousTagSizeBytes;
  s->endOfTags = std::min(s->firstTag, s->fileSize);
  int64_t pos = s->firstTag;
  for (;;) {
    const uint8_t* h = in.at(pos, flv::kTagHeaderSize);
    if (!h) break;
    int64_t next = pos + flv::kTagHeaderSize + flv::readU24(h + 1) + flv::kPreviousTagSizeBytes;
    if (next > s->fileSize) break;  // the writer stopped inside this tag
    if (!noteTag(in, pos, h, s)) break;  // not a tag
    pos = next;
    s->endOfTags = next;
  }
  s->truncated = s->endOfTags < s->fileSize;
  measureLastAudio(in, s);
  return true;
}

bool noteTag(ByteSource& in, int64_t pos, const uint8_t* h, FlvScan* s) {
  int type = h[0] & 0x1F;
  uint32_t size = flv::readU24(h + 1);
  int64_t timestamp = static_cast<int32_t>(flv::readTimestamp(h));
  if (type != flv::kAudio && type != flv::kVideo && type != flv::kScript) return false;
  int64_t dataAt = pos + flv::kTagHeaderSize;
  if (type == flv::kAudio) {
    noteAudio(in, dataAt, size, timestamp, pos, s);
    s->lastTimestamp = std::max(s->lastTimestamp, timestamp);
  } else if (type == flv::kVideo) {
    noteVideo(in, dataAt, size, timestamp, pos, s);
    s->lastTimestamp = std::max(s->lastTimestamp, timestamp);
  } else {
    size_t n = std::min<size_t>(size, 64);
    const uint8_t* data = in.at(dataAt, n);
    if (data && isMetadataName(data, n)) {
      s->staleMetadata.push_back({pos, dataAt + size + static_cast<int64_t>(flv::kPreviousTagSizeBytes)});
    } else {
      s->keptScriptTagBytes += flv::kTagHeaderSize + size;
    }
  }
  return true;
}

// Reads the latest audio tag again to learn how long it plays. Long tags
// are measured over their first window and scaled.
void measureLastAudio(ByteSource& in, FlvScan* s) {
  if (s->lastAudioPosition < 0 || s->lastAudioDataSize < 2) return;
  size_t payloadSize = s->lastAudioDataSize - 1;
  int64_t payloadAt = s->lastAudioPosition + flv::kTagHeaderSize + 1;
  AudioFormat format = s->audio;
  if (s->audioFourCc != 0) {
    // Extended audio: coded frames of MP3 or AAC, after the header.
    size_t headBytes = std::min<size_t>(s->lastAudioDataSize, flv::kHeadPeekBytes);
    const uint8_t* head = in.at(payloadAt - 1, headBytes);
    flv::AudioHead a;
    if (!head || !flv::readAudioHead(head, headBytes, &a) || a.packetType != flv::kAudioCodedFrames) return;
    if (a.bodyAt >= s->lastAudioDataSize) return;
    if (a.codec == flv::kFourCcAac) {
      s->lastAudioMicros = s->aac.frameMicros;
      return;
    }
    if (a.codec != flv::kFourCcMp3) return;
    format.codecId = flv::kMp3;
    payloadAt += static_cast<int64_t>(a.bodyAt) - 1;
    payloadSize = s->lastAudioDataSize - a.bodyAt;
  }
  size_t n = std::min(payloadSize, kWindowBytes);
  const uint8_t* payload = in.at(payloadAt, n);
  if (!payload) return;
  int64_t micros = audioPayloadMicros(format, s->aac.frameMicros, payload, n);
  if (n < payloadSize) micros = micros * static_cast<int64_t>(payloadSize) / static_cast<int64_t>(n);
  s->lastAudioMicros = micros;
}

}  // namespace tarvel
