#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "libs/quennet/mp3_frame.h"
#include "libs/quennet/quennet.h"
#include "platform/file.h"

namespace quennet {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int32_t kOpenMode = 6;
// Largest MPEG audio frame (layer II, 384 kb/s at 32 kHz, padded) is 1729
// bytes; the buffer holds many of them so that most headers cost no read.
constexpr int32_t kBufferBytes = 64 * 1024;
// How far the first frame may lie behind the leading tags, and how much
// garbage between frames is stepped over before the walk gives up. Both keep
// a file that is not MP3 from being scanned to its end byte by byte.
constexpr int64_t kMaxLeadingGarbage = 256 * 1024;
constexpr int64_t kMaxGarbageRun = 64 * 1024;

constexpr int32_t kId3v2HeaderBytes = 10;
constexpr int32_t kId3v1Bytes = 128;
constexpr int32_t kApeFooterBytes = 32;

// Reads a file through one buffer with 64-bit offsets. A read error is kept
// and reported, so that it is never mistaken for the end of the audio.
class BufferedSource {
 public:
  bool open(const char* path) {
    if (!file_.open(path, platform::File::Mode::kRead)) return false;
    size_ = file_.size();
    buffer_.resize(kBufferBytes);
    return size_ >= 0;
  }
  int64_t size() const { return size_; }
  bool failed() const { return failed_; }

  // The n bytes at offset (n at most kBufferBytes), or null when they lie
  // past the end of the file or cannot be read.
  const uint8_t* peek(int64_t offset, int32_t n) {
    if (offset < 0 || n < 0 || n > kBufferBytes || offset > size_ - n) return nullptr;
    if (offset < start_ || offset + n > start_ + length_) {
      int64_t want = size_ - offset < kBufferBytes ? size_ - offset : kBufferBytes;
      int64_t got = file_.readAt(buffer_.data(), want, offset);
      if (got < n) {
        failed_ = true;
        start_ = length_ = 0;
        return nullptr;
      }
      start_ = offset;
      length_ = got;
    }
    return buffer_.data() + (offset - start_);
  }

 private:
  platform::File file_;
  int64_t size_ = 0;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;
  int64_t length_ = 0;
  bool failed_ = false;
};

// ID3v2 sizes are "syncsafe": four 7-bit groups.
bool readSyncsafe(const uint8_t* p, int64_t* value) {
  if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return false;
  *value = (int64_t{p[0]} << 21) | (int64_t{p[1]} << 14) | (int64_t{p[2]} << 7) | p[3];
  return true;
}

// Length of the ID3v2 tag at p (header "ID3" or footer "3DI"), its footer
// included, or 0 when none stands there.
int64_t id3v2Length(const uint8_t* p, const char* magic) {
  int64_t size = 0;
  if (std::memcmp(p, magic, 3) != 0 || p[3] == 0xFF || p[4] == 0xFF || !readSyncsafe(p + 6, &size))
    return 0;
  bool hasFooter = (p[5] & 0x10) != 0;
  return kId3v2HeaderBytes + size + (hasFooter ? kId3v2HeaderBytes : 0);
}

uint32_t readLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint32_t readBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The byte range that holds the audio frames: leading ID3v2 tags skipped,
// trailing ID3v1, APE and appended ID3v2 tags cut off.
struct AudioRange {
  int64_t begin = 0;
  int64_t end = 0;
};

AudioRange findAudioRange(BufferedSource& source) {
  AudioRange range{0, source.size()};
  // Some writers stack several ID3v2 tags; each is skipped in turn.
  while (const uint8_t* p = source.peek(range.begin, kId3v2HeaderBytes)) {
    int64_t length = id3v2Length(p, "ID3");
    if (length == 0 || length > range.end - range.begin) break;
    range.begin += length;
  }
  // Trailing tags may come in any order; each round removes one.
  for (bool cut = true; cut;) {
    cut = false;
    int64_t room = range.end - range.begin;
    if (room >= kId3v1Bytes) {
      const uint8_t* p = source.peek(range.end - kId3v1Bytes, 3);
      if (p && std::memcmp(p, "TAG", 3) == 0) {
        range.end -= kId3v1Bytes;
        cut = true;
        continue;
      }
    }
    if (room >= kApeFooterBytes) {
      const uint8_t* p = source.peek(range.end - kApeFooterBytes, kApeFooterBytes);
      if (p && std::memcmp(p, "APETAGEX", 8) == 0) {
        // The size counts the items and the footer; a header, when flagged,
        // stands in front of them.
        int64_t length = readLe32(p + 12);
        if (readLe32(p + 20) & 0x80000000u) length += kApeFooterBytes;
        if (length >= kApeFooterBytes && length <= room) {
          range.end -= length;
          cut = true;
          continue;
        }
      }
    }
    if (room >= kId3v2HeaderBytes) {
      const uint8_t* p = source.peek(range.end - kId3v2HeaderBytes, kId3v2HeaderBytes);
      int64_t length = p ? id3v2Length(p, "3DI") : 0;
      if (length > 0 && length <= room) {
        range.end -= length;
        cut = true;
      }
    }
  }
  return range;
}

// What the first frame's Xing, Info or VBRI header says. Such a frame holds
// no audio: decoders skip it.
struct EncoderInfo {
  bool present = false;
  int32_t delay = 0;    // samples the encoder put in front of the audio
  int32_t padding = 0;  // samples it appended to fill the last frame
  int64_t frames = 0;   // audio frames the encoder wrote, 0 when not given
};

// The LAME extension follows the Xing fields: a 9-byte encoder string, and at
// 0x15 from its start two 12-bit counts, delay then padding. FFmpeg writes the
// same layout under "Lavf" or "Lavc".
constexpr int kLameDelayOffset = 0x15;

EncoderInfo readEncoderInfo(const uint8_t* frame, const FrameHeader& header) {
  EncoderInfo info;
  if (header.layer != 3) return info;
  const int frameBytes = header.frameBytes;
  const int vbriAt = 4 + 32;
  if (vbriAt + 4 <= frameBytes && std::memcmp(frame + vbriAt, "VBRI", 4) == 0) {
    info.present = true;
    return info;
  }
  int at = 4 + (header.hasCrc ? 2 : 0) + sideInfoBytes(header);
  if (at + 8 > frameBytes) return info;
  if (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0)
    return info;
  info.present = true;
  uint32_t flags = readBe32(frame + at + 4);
  at += 8;
  if (flags & 1) {
    if (at + 4 > frameBytes) return info;
    info.frames = readBe32(frame + at);
    at += 4;
  }
  if (flags & 2) at += 4;    // byte count
  if (flags & 4) at += 100;  // seek table
  if (flags & 8) at += 4;    // quality
  if (at + kLameDelayOffset + 3 > frameBytes) return info;
  const uint8_t* lame = frame + at;
  if (std::memcmp(lame, "LAME", 4) != 0 && std::memcmp(lame, "Lavf", 4) != 0 &&
      std::memcmp(lame, "Lavc", 4) != 0)
    return info;
  const uint8_t* counts = lame + kLameDelayOffset;
  info.delay = (counts[0] << 4) | (counts[1] >> 4);
  info.padding = ((counts[1] & 0x0F) << 8) | counts[2];
  return info;
}

struct Walk {
  FrameHeader first;
  int64_t frames = 0;
  int64_t audioBytes = 0;
  EncoderInfo encoder;
};

class FrameWalker {
 public:
  FrameWalker(BufferedSource& source, AudioRange range) : source_(source), range_(range) {}

  // Walks every frame of the range. False when no frame stream was found.
  bool walk(Walk* walk) {
    int64_t pos = findFrame(range_.begin, kMaxLeadingGarbage, nullptr);
    if (pos < 0) return false;
    const uint8_t* h = source_.peek(pos, 4);
    if (!h || !parseFrameHeader(h, &walk->first)) return false;
    std::memcpy(reference_, h, 4);
    const uint8_t* frame = source_.peek(pos, walk->first.frameBytes);
    if (!frame) return false;
    walk->encoder = readEncoderInfo(frame, walk->first);
    if (walk->encoder.present) pos += walk->first.frameBytes;

    while (pos <= range_.end - 4) {
      FrameHeader header;
      h = source_.peek(pos, 4);
      if (!h) break;
      if (!parseFrameHeader(h, &header) || !sameStream(h, reference_)) {
        pos = findFrame(pos + 1, kMaxGarbageRun, reference_);
        if (pos < 0) break;
        continue;
      }
      // A frame cut short by the end of the file is not played whole; a
      // decoder drops it.
      if (header.frameBytes > range_.end - pos) break;
      walk->frames += 1;
      walk->audioBytes += header.frameBytes;
      pos += header.frameBytes;
    }
    return !source_.failed();
  }

 private:
  // The first position at or after from, within maxSkip bytes, where a frame
  // header stands that is confirmed by the next one (or whose frame ends the
  // range exactly); with a reference, both must belong to its stream. -1 when
  // there is none.
  int64_t findFrame(int64_t from, int64_t maxSkip, const uint8_t* reference) {
    int64_t last = range_.end - 4;
    if (from <= last - maxSkip) last = from + maxSkip;
    for (int64_t pos = from; pos <= last; ++pos) {
      const uint8_t* h = source_.peek(pos, 4);
      if (!h) return -1;
      FrameHeader header;
      if (!parseFrameHeader(h, &header)) continue;
      if (reference && !sameStream(h, reference)) continue;
      uint8_t here[4];
      std::memcpy(here, h, 4);
      int64_t next = pos + header.frameBytes;
      if (next == range_.end) return pos;
      const uint8_t* n = source_.peek(next, 4);
      if (n && next <= range_.end - 4 && parseFrameHeader(n, &header) && sameStream(n, here))
        return pos;
      if (source_.failed()) return -1;
    }
    return -1;
  }

  BufferedSource& source_;
  AudioRange range_;
  uint8_t reference_[4] = {};
};

// samples * 10^7 / rate, truncated, without overflowing for any count.
int64_t samplesToTicks(int64_t samples, int32_t rate) {
  return samples / rate * kTicksPerSecond + samples % rate * kTicksPerSecond / rate;
}

void describe(const Walk& walk, AvInfo* info) {
  *info = AvInfo{};
  const FrameHeader& first = walk.first;
  int64_t decoded = walk.frames * first.samplesPerFrame;
  // The padding sits in the encoder's last frame: a file cut short before it
  // has none to drop.
  bool complete = walk.encoder.frames == 0 || walk.frames >= walk.encoder.frames;
  int64_t played = decoded - walk.encoder.delay - (complete ? walk.encoder.padding : 0);
  if (played < 0) played = 0;
  info->hasAudio = 1;
  info->hasVideo = 0;
  info->sampleRate = first.sampleRate;
  info->channels = first.channels;
  info->bitRate = decoded > 0 ? static_cast<int32_t>(walk.audioBytes * 8 * first.sampleRate /
                                                     decoded)
                              : 0;
  info->frameCount = walk.frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(walk.frames);
  info->sampleCount = played;
  info->encoderDelay = walk.encoder.delay;
  info->encoderPadding = walk.encoder.padding;
  info->duration = samplesToTicks(played, first.sampleRate);
  info->mpegVersion = first.mpegVersion;
  info->layer = first.layer;
}

}  // namespace

struct MediaReader {
  bool open = false;
  AvInfo info{};
};

}  // namespace quennet

extern "C" {

QUENNET_API void* AVR_Create(void) { return new (std::nothrow) quennet::MediaReader; }

// The whole file is walked here, so that a file that is not MP3 is refused at
// once and AVR_GetAVInfo only copies what was found.
QUENNET_API int32_t AVR_Open(void* handle, const char* path, int32_t mode) {
  auto* reader = static_cast<quennet::MediaReader*>(handle);
  if (!reader || !path || mode != quennet::kOpenMode) return 0;
  reader->open = false;
  quennet::BufferedSource source;
  if (!source.open(path)) return 0;
  quennet::AudioRange range = quennet::findAudioRange(source);
  quennet::Walk walk;
  quennet::FrameWalker walker(source, range);
  if (!walker.walk(&walk) || source.failed()) return 0;
  quennet::describe(walk, &reader->info);
  reader->open = true;
  return 1;
}

QUENNET_API int32_t AVR_GetAVInfo(void* handle, AvInfo* info) {
  auto* reader = static_cast<quennet::MediaReader*>(handle);
  if (!reader || !info || !reader->open) return 0;
  *info = reader->info;
  return 1;
}

QUENNET_API void AVR_Close(void* handle) {
  if (auto* reader = static_cast<quennet::MediaReader*>(handle)) reader->open = false;
}

QUENNET_API void AVR_Delete(void* handle) { delete static_cast<quennet::MediaReader*>(handle); }

}  // extern "C"
