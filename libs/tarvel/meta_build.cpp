// Every number in the metadata is an AMF0 double of fixed size, so the tag's
// size does not depend on its values: it is encoded once to learn its size,
// which fixes where every tag lands, then again with the final values.
#include "libs/tarvel/meta_build.h"

#include <algorithm>
#include <string>

#include "libs/tarvel/amf0.h"
#include "libs/tarvel/flv_format.h"

namespace tarvel {

namespace {

// Header, PreviousTagSize0, then the metadata tag's own header; its
// PreviousTagSize follows the data.
constexpr int64_t kBytesBeforeData = flv::kHeaderSize + flv::kPreviousTagSizeBytes + flv::kTagHeaderSize;
constexpr int64_t kFixedPrefixBytes = kBytesBeforeData + flv::kPreviousTagSizeBytes;

double seconds(int64_t ms) { return static_cast<double>(ms) / 1000.0; }

// The end of the last frame of either stream, in ms.
double endTimeMs(const FlvScan& s) {
  double end = s.lastTimestamp;
  if (s.videoFrames > 0) {
    double frameMs = 0;
    if (s.videoFrames > 1 && s.lastVideoFrameTime > s.firstVideoFrameTime) {
      frameMs = double(s.lastVideoFrameTime - s.firstVideoFrameTime) / double(s.videoFrames - 1);
    }
    end = std::max(end, s.lastVideoFrameTime + frameMs);
  }
  if (s.lastAudioPosition >= 0) {
    end = std::max(end, s.lastAudioTime + double(s.lastAudioMicros) / 1000.0);
  }
  return end;
}

double framerate(const FlvScan& s) {
  if (s.videoFrames < 2 || s.lastVideoFrameTime <= s.firstVideoFrameTime) return 0;
  return double(s.videoFrames - 1) * 1000.0 / double(s.lastVideoFrameTime - s.firstVideoFrameTime);
}

// kbit/s with 1024-bit kilobits, as the field's tools compute it.
double dataRate(int64_t bytes, double durationSeconds) {
  return durationSeconds > 0 ? double(bytes) / 1024.0 * 8.0 / durationSeconds : 0;
}

// Bytes of one padding string element: marker, length and up to 200 spaces.
constexpr size_t kPaddingChunk = 203;

// Filler for a prefix of a fixed size: a member of the metadata array, so
// that readers that check the tag's size against its AMF data find them
// equal. Strings of at most 255 bytes: longer ones trip some readers.
// text is the bytes of the array's elements.
void writePadding(Amf0Writer& w, size_t text) {
  w.key("padding");
  size_t chunks = (text + kPaddingChunk - 1) / kPaddingChunk;
  w.beginStrictArray(static_cast<uint32_t>(chunks));
  for (; chunks > 0; --chunks) {
    size_t chunk = (text + chunks - 1) / chunks;  // even split, each at least 3 bytes
    w.string(std::string(chunk - 3, ' '));
    text -= chunk;
  }
}
constexpr int64_t kPaddingMemberBytes = static_cast<int64_t>(amf0KeySize("padding")) + 5;  // name, array header

// A script-data tag holding data, with its PreviousTagSize.
void appendTag(std::vector<uint8_t>& out, const std::vector<uint8_t>& data) {
  uint8_t tag[flv::kTagHeaderSize];
  tag[0] = flv::kScript;                                       // TagType
  flv::writeU24(tag + 1, static_cast<uint32_t>(data.size()));  // DataSize
  flv::writeTimestamp(tag, 0);                                 // Timestamp, TimestampExtended
  flv::writeU24(tag + 8, 0);                                   // StreamID
  uint8_t previous[flv::kPreviousTagSizeBytes];
  flv::writeU32(previous, static_cast<uint32_t>(flv::kTagHeaderSize + data.size()));  // PreviousTagSize
  out.insert(out.end(), tag, tag + sizeof tag);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), previous, previous + sizeof previous);
}

struct Encoding {
  int64_t prefixBytes;  // final header + tag + PreviousTagSize bytes
  size_t paddingText;   // bytes of the padding array's elements
  bool padded;
  bool withKeyframes;
};

void writeKeyframes(Amf0Writer& w, const FlvScan& s, const MetadataLayout& layout, int64_t prefixBytes) {
  std::vector<double> times;
  std::vector<double> positions;
  times.reserve(s.keyframes.size());
  positions.reserve(s.keyframes.size());
  for (const Keyframe& k : s.keyframes) {
    times.push_back(seconds(k.timestamp));
    positions.push_back(static_cast<double>(finalPosition(layout, prefixBytes, k.position)));
  }
  w.key("keyframes");
  w.beginObject();
  w.key("times");
  w.numberArray(times);
  w.key("filepositions");
  w.numberArray(positions);
  w.endObject();
}

std::vector<uint8_t> encode(const FlvScan& s, const MetadataLayout& layout, const Encoding& e) {
  std::vector<uint8_t> out;
  Amf0Writer w(out);
  w.string("onMetaData");
  bool keyframes = e.withKeyframes && !s.keyframes.empty();
  w.beginEcmaArray(0);  // the count is advisory; the end marker closes the array
  double duration = endTimeMs(s) / 1000.0;
  int64_t tagBytes = e.prefixBytes - (kFixedPrefixBytes - flv::kTagHeaderSize);
  w.key("hasMetadata"), w.boolean(true);
  w.key("hasVideo"), w.boolean(s.hasVideo);
  w.key("hasAudio"), w.boolean(s.hasAudio);
  w.key("duration"), w.number(duration);
  w.key("lasttimestamp"), w.number(seconds(s.lastTimestamp));
  if (!s.keyframes.empty()) {
    const Keyframe& last = s.keyframes.back();
    w.key("lastkeyframetimestamp"), w.number(seconds(last.timestamp));
    w.key("lastkeyframelocation"), w.number(double(finalPosition(layout, e.prefixBytes, last.position)));
  }
  w.key("hasKeyframes"), w.boolean(keyframes);
  w.key("canSeekToEnd"), w.boolean(s.hasVideo && s.lastVideoIsKeyframe);
  if (s.hasVideo) {
    if (s.dimensions.width > 0) {
      w.key("width"), w.number(s.dimensions.width);
      w.key("height"), w.number(s.dimensions.height);
    }
    if (double rate = framerate(s); rate > 0) w.key("framerate"), w.number(rate);
    w.key("videocodecid"), w.number(double(s.videoCodecId));
    w.key("videodatarate"), w.number(dataRate(s.videoDataBytes, duration));
    w.key("videosize"), w.number(double(s.videoTagBytes));
  }
  if (s.hasAudio && s.audioFourCc != 0) {
    // Extended audio: what the flags cannot say is left out unless the
    // stream says it.
    w.key("audiocodecid"), w.number(s.audioFourCc);
    int32_t rate = s.audioFourCc == flv::kFourCcAac ? s.aac.sampleRate : s.mp3SampleRate;
    if (rate > 0) w.key("audiosamplerate"), w.number(rate);
    if (s.audioFourCc == flv::kFourCcAac && s.aac.sampleRate > 0) w.key("stereo"), w.boolean(s.aac.channels >= 2);
    w.key("audiodatarate"), w.number(dataRate(s.audioDataBytes, duration));
    w.key("audiosize"), w.number(double(s.audioTagBytes));
  } else if (s.hasAudio) {
    bool aac = s.audio.codecId == flv::kAac && s.aac.sampleRate > 0;
    w.key("audiocodecid"), w.number(s.audio.codecId);
    int32_t rate = aac ? s.aac.sampleRate : (s.mp3SampleRate > 0 ? s.mp3SampleRate : s.audio.sampleRate);
    w.key("audiosamplerate"), w.number(rate);
    w.key("audiosamplesize"), w.number(s.audio.sampleSize);
    w.key("stereo"), w.boolean(aac ? s.aac.channels >= 2 : s.audio.stereo);
    w.key("audiodatarate"), w.number(dataRate(s.audioDataBytes, duration));
    w.key("audiosize"), w.number(double(s.audioTagBytes));
  }
  w.key("datasize"), w.number(double(s.keptScriptTagBytes + tagBytes));
  w.key("filesize"), w.number(double(e.prefixBytes + layout.keptBytes));
  w.key("metadatacreator"), w.string(kMetadataCreator);
  if (keyframes) writeKeyframes(w, s, layout, e.prefixBytes);
  if (e.padded) writePadding(w, e.paddingText);
  w.endObject();
  return out;
}

std::vector<uint8_t> assemble(const FlvScan& s, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(flv::kHeaderSize + flv::kPreviousTagSizeBytes);
  out[0] = 'F', out[1] = 'L', out[2] = 'V';
  out[3] = 1;  // version
  out[4] = static_cast<uint8_t>((s.hasAudio ? flv::kFlagAudio : 0) | (s.hasVideo ? flv::kFlagVideo : 0));
  flv::writeU32(&out[5], flv::kHeaderSize);  // DataOffset
  flv::writeU32(&out[9], 0);                 // PreviousTagSize0
  out.reserve(out.size() + flv::kTagHeaderSize + data.size() + flv::kPreviousTagSizeBytes);
  appendTag(out, data);
  return out;
}

// The smallest encoding: with the key frame index when it fits in a tag.
bool minimalEncoding(const FlvScan& s, const MetadataLayout& layout, Encoding* e) {
  for (bool withKeyframes : {true, false}) {
    *e = Encoding{0, 0, false, withKeyframes};
    size_t size = encode(s, layout, *e).size();
    if (size <= flv::kMaxDataSize) {
      e->prefixBytes = kFixedPrefixBytes + static_cast<int64_t>(size);
      return true;
    }
  }
  return false;
}

}  // namespace

MetadataLayout layoutOf(const FlvScan& scan) {
  MetadataLayout layout;
  int64_t from = scan.firstTag;
  for (const ByteRange& stale : scan.staleMetadata) {
    if (stale.begin > from) layout.keptRanges.push_back({from, stale.begin});
    from = stale.end;
  }
  if (scan.endOfTags > from) layout.keptRanges.push_back({from, scan.endOfTags});
  for (const ByteRange& r : layout.keptRanges) {
    layout.keptBefore.push_back(layout.keptBytes);
    layout.keptBytes += r.end - r.begin;
  }
  return layout;
}

int64_t finalPosition(const MetadataLayout& layout, int64_t prefixBytes, int64_t scannedOffset) {
  // A file may hold any number of stale tags: search, do not walk.
  const auto& ranges = layout.keptRanges;
  auto it = std::upper_bound(ranges.begin(), ranges.end(), scannedOffset,
                             [](int64_t offset, const ByteRange& r) { return offset < r.end; });
  if (it == ranges.end() || scannedOffset < it->begin) return -1;
  size_t index = static_cast<size_t>(it - ranges.begin());
  return prefixBytes + layout.keptBefore[index] + (scannedOffset - it->begin);
}

int64_t minimalPrefixBytes(const FlvScan& scan, const MetadataLayout& layout) {
  Encoding e;
  return minimalEncoding(scan, layout, &e) ? e.prefixBytes : -1;
}

std::vector<uint8_t> buildPrefix(const FlvScan& scan, const MetadataLayout& layout, int64_t prefixBytes) {
  Encoding e;
  if (!minimalEncoding(scan, layout, &e)) return {};
  if (prefixBytes != 0) {
    int64_t padding = prefixBytes - e.prefixBytes;
    if (padding < kMinPaddingBytes || padding > kMaxPaddingBytes) return {};
    if (e.prefixBytes - kFixedPrefixBytes + padding > flv::kMaxDataSize) return {};
    e.padded = true;
    e.paddingText = static_cast<size_t>(padding - kPaddingMemberBytes);
    e.prefixBytes = prefixBytes;
  }
  return assemble(scan, encode(scan, layout, e));
}

int64_t metadataRoomBytes(int sizeClass) {
  int64_t room = sizeClass > 10 ? int64_t{1} << std::min(sizeClass - 10, 62) : 0;
  return std::clamp(room, kMinRoomBytes, kMaxRoomBytes);
}

std::vector<uint8_t> placeholderTag(int64_t bytes) {
  // "onMetaData", an array holding the padding member alone, its end.
  constexpr int64_t kEmpty = flv::kTagHeaderSize + amf0StringSize("onMetaData") + 5 + kPaddingMemberBytes + 3 +
                             flv::kPreviousTagSizeBytes;
  if (bytes < kEmpty || bytes - kEmpty > kMaxPaddingBytes) return {};
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(bytes));
  Amf0Writer w(data);
  w.string("onMetaData");
  w.beginEcmaArray(0);
  writePadding(w, static_cast<size_t>(bytes - kEmpty));
  w.endObject();
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(bytes));
  appendTag(out, data);
  return out;
}

}  // namespace tarvel
