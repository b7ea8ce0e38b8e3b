// A walk over AMF0 that keeps only the two values the report needs, so that
// a large key-frame index costs 8 bytes an entry and nothing is built for
// the rest.
#include "report/on_metadata.h"

#include <cmath>
#include <cstring>
#include <string_view>

namespace report {

namespace {

constexpr int kMaxDepth = 16;

enum Marker : uint8_t {
  kNumber = 0x00, kBoolean = 0x01, kString = 0x02, kObject = 0x03, kNull = 0x05,
  kUndefined = 0x06, kReference = 0x07, kEcmaArray = 0x08, kObjectEnd = 0x09,
  kStrictArray = 0x0A, kDate = 0x0B, kLongString = 0x0C, kUnsupported = 0x0D,
  kXmlDocument = 0x0F, kTypedObject = 0x10,
};

// What to keep of the value being read.
enum class Want { kNothing, kMembers, kIndex, kPositions };

class Amf0Walk {
 public:
  Amf0Walk(const uint8_t* data, size_t size, OnMetaData* out) : p_(data), left_(size), out_(out) {}

  bool name(std::string_view* s) {
    uint32_t n = 0;
    if (!u16(&n) || left_ < n) return false;
    *s = std::string_view(reinterpret_cast<const char*>(p_), n);
    return take(n);
  }

  // One value; want says which of its parts the report keeps.
  bool value(Want want, int depth, double* number = nullptr) {
    uint8_t marker = 0;
    if (depth > kMaxDepth || !u8(&marker)) return false;
    uint32_t n = 0;
    switch (marker) {
      case kNumber:
      case kDate: {
        if (left_ < 8) return false;
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | p_[i];
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (number) *number = v;
        return take(marker == kDate ? 10 : 8);
      }
      case kBoolean: return take(1);
      case kString: return u16(&n) && take(n);
      case kLongString:
      case kXmlDocument: return u32(&n) && take(n);
      case kNull: case kUndefined: case kUnsupported: return true;
      case kReference: return take(2);
      case kEcmaArray: return take(4) && members(want, depth);
      case kObject: return members(want, depth);
      case kTypedObject: return u16(&n) && take(n) && members(want, depth);
      case kStrictArray: return elements(want, depth);
      default: return false;
    }
  }

 private:
  // Properties up to the end marker (an empty name, then 0x09).
  bool members(Want want, int depth) {
    for (;;) {
      std::string_view key;
      if (!name(&key)) return false;
      if (key.empty() && left_ > 0 && *p_ == kObjectEnd) return take(1);
      Want inner = Want::kNothing;
      double number = NAN;
      if (want == Want::kMembers && key == "keyframes") inner = Want::kIndex;
      if (want == Want::kIndex && key == "filepositions") inner = Want::kPositions;
      if (!value(inner, depth + 1, &number)) return false;
      if (want == Want::kMembers && key == "duration" && !std::isnan(number)) out_->durationSeconds = number;
    }
  }

  bool elements(Want want, int depth) {
    uint32_t count = 0;
    if (!u32(&count)) return false;
    if (want == Want::kPositions) out_->hasIndex = true;
    for (uint32_t i = 0; i < count; ++i) {
      double number = NAN;
      if (!value(Want::kNothing, depth + 1, &number)) return false;
      if (want != Want::kPositions) continue;
      // A position that is no whole number inside the file's range points
      // nowhere. Only numbers are kept: 9 bytes of tag for 8 of memory.
      if (number >= 0 && number < 9.0e18 && std::floor(number) == number) {
        out_->positions.push_back(static_cast<int64_t>(number));
      } else {
        out_->badPosition = true;
      }
    }
    return true;
  }

  bool take(size_t n) {
    if (left_ < n) return false;
    p_ += n;
    left_ -= n;
    return true;
  }
  bool u8(uint8_t* v) {
    if (left_ < 1) return false;
    *v = *p_;
    return take(1);
  }
  bool u16(uint32_t* v) {
    if (left_ < 2) return false;
    *v = uint32_t{p_[0]} << 8 | p_[1];
    return take(2);
  }
  bool u32(uint32_t* v) {
    if (left_ < 4) return false;
    *v = uint32_t{p_[0]} << 24 | uint32_t{p_[1]} << 16 | uint32_t{p_[2]} << 8 | p_[3];
    return take(4);
  }

  const uint8_t* p_;
  size_t left_;
  OnMetaData* out_;
};

}  // namespace

bool readOnMetaData(const uint8_t* data, size_t size, OnMetaData* out) {
  *out = OnMetaData{};
  uint8_t marker = size > 0 ? data[0] : 0xFF;
  std::string_view name;
  if (marker != kString) return false;
  Amf0Walk head(data + 1, size - 1, out);
  if (!head.name(&name) || name != "onMetaData") return false;
  size_t used = 1 + 2 + name.size();
  if (size <= used || (data[used] != kEcmaArray && data[used] != kObject)) return false;
  Amf0Walk body(data + used, size - used, out);
  // A body cut short still gives what came before the cut.
  body.value(Want::kMembers, 0);
  return true;
}

}  // namespace report
