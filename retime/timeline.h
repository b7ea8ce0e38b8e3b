// The timestamp arithmetic every re-timer shares. Times are ticks of
// 100 ns in signed 64-bit integers; a tag's stored time is its millisecond
// timestamp times 10000.
#pragma once

#include <cstdint>

#include "libs/tarvel/audio_length.h"
#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tarvel.h"

namespace retime {

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerSecond = flv::kTicksPerSecond;

inline int64_t storedTicks(const TagRecord& tag) {
  return static_cast<int64_t>(tag.timestamp) * kTicksPerMs;
}

// Writes ms into the tag's raw header (Timestamp, then TimestampExtended);
// the record's own timestamp field keeps the stored value.
inline void stampTimestamp(TagRecord& tag, uint32_t ms) { flv::writeTimestamp(tag.raw, ms); }

// A video tag moved by drift: the stored milliseconds plus drift in whole
// milliseconds (truncated toward zero), modulo 2^32.
inline uint32_t movedTimestamp(uint32_t storedMs, int64_t drift) {
  return storedMs + static_cast<uint32_t>(drift / kTicksPerMs);
}

// The times the video tags of one output are stamped with. A moved time is
// read as the format's signed 32-bit value, so that one moved below zero is
// negative (not 49.7 days), and is then held at 0 and at the time of the
// video tag written just before: video never steps back, which players take
// for a frame lasting 2^32 ms.
class VideoStamps {
 public:
  uint32_t next(uint32_t storedMs, int64_t drift) {
    int64_t moved = static_cast<int32_t>(movedTimestamp(storedMs, drift));
    if (moved > last_) last_ = moved;
    return static_cast<uint32_t>(last_);
  }

 private:
  int64_t last_ = 0;
};

// The composition time offset of an AVC picture (H.264 with B-frames: the
// picture is shown at its stamp plus this many milliseconds), read from the
// bytes the record holds; 0 for any other tag or a record too short for it.
inline int32_t compositionOffset(const TagRecord& tag) {
  constexpr uint32_t kAvc = 7;
  constexpr uint8_t kAvcPicture = 1;
  const uint8_t* d = tag.raw ? tag.raw + 11 : nullptr;  // the flags byte, then the AVC packet head
  if (tag.tagType != 9 || !d || tag.rawSize < 16 || (d[0] & 0x0F) != kAvc || d[1] != kAvcPicture) return 0;
  int32_t offset = (int32_t{d[2]} << 16) | (int32_t{d[3]} << 8) | d[4];
  return offset >= 0x800000 ? offset - 0x1000000 : offset;
}

// A gap's length: from its opening tag's stored time to its closing tag's,
// and nothing when the closing tag is stored before the opening one (the
// converter writes no silence for it either).
inline int64_t gapLength(int64_t openedAt, int64_t closedAt) {
  return closedAt > openedAt ? closedAt - openedAt : 0;
}

// The payload size as stored (the data after the flags byte), also for a
// record that holds only the tag's head (TARVEL_READ_HEADS); for a record
// read whole, its payloadSize.
inline int32_t storedPayloadSize(const TagRecord& tag) {
  if (tag.raw && tag.rawSize < flv::kTagHeaderSize + tag.dataSize) return static_cast<int32_t>(tag.dataSize - 1);
  return tag.payloadSize;
}

// Sums of gaps and audio lengths stay far inside this bound on any real file
// (it is some 7000 years); past it, and before the 64-bit arithmetic could
// overflow, a re-timer gives up on the file as damaged.
constexpr int64_t kTimelineLimit = int64_t{1} << 61;
inline bool withinTimeline(int64_t ticks) { return ticks > -kTimelineLimit && ticks < kTimelineLimit; }

// Puts a reader back at the file's start through its table of operations.
inline void rewindReader(void* reader) {
  const FlvReaderOps* ops = *static_cast<const FlvReaderOps* const*>(reader);
  ops->seek(reader, 0, 0, 0);
}

}  // namespace retime
