#include "libs/tarvel/amf0.h"

#include <bit>
#include <cstring>

#include "libs/tarvel/flv_format.h"

namespace tarvel {

void Amf0Writer::u16(uint16_t v) {
  out_.push_back(static_cast<uint8_t>(v >> 8));
  out_.push_back(static_cast<uint8_t>(v));
}

void Amf0Writer::u32(uint32_t v) {
  u16(static_cast<uint16_t>(v >> 16));
  u16(static_cast<uint16_t>(v));
}

void Amf0Writer::number(double value) {
  out_.push_back(flv::kAmfNumber);
  // AMF0 numbers are IEEE-754 doubles, big-endian.
  uint64_t bits = std::bit_cast<uint64_t>(value);
  for (int shift = 56; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(bits >> shift));
}

void Amf0Writer::boolean(bool value) {
  out_.push_back(flv::kAmfBoolean);
  out_.push_back(value ? 1 : 0);
}

void Amf0Writer::string(std::string_view value) {
  if (value.size() > 0xFFFF) {
    out_.push_back(flv::kAmfLongString);
    u32(static_cast<uint32_t>(value.size()));
  } else {
    out_.push_back(flv::kAmfString);
    u16(static_cast<uint16_t>(value.size()));
  }
  out_.insert(out_.end(), value.begin(), value.end());
}

void Amf0Writer::key(std::string_view name) {
  u16(static_cast<uint16_t>(name.size()));
  out_.insert(out_.end(), name.begin(), name.end());
}

void Amf0Writer::beginEcmaArray(uint32_t count) {
  out_.push_back(flv::kAmfEcmaArray);
  u32(count);
}

void Amf0Writer::beginObject() { out_.push_back(flv::kAmfObject); }

void Amf0Writer::endObject() {
  u16(0);  // empty name
  out_.push_back(flv::kAmfObjectEnd);
}

void Amf0Writer::beginStrictArray(uint32_t count) {
  out_.push_back(flv::kAmfStrictArray);
  u32(count);
}

void Amf0Writer::numberArray(const std::vector<double>& values) {
  beginStrictArray(static_cast<uint32_t>(values.size()));
  for (double v : values) number(v);
}

Amf0Value::~Amf0Value() = default;

const Amf0Value* Amf0Value::find(std::string_view name) const {
  for (const auto& [memberName, member] : members) {
    if (memberName == name) return &member;
  }
  return nullptr;
}

namespace {

// A cursor over untrusted bytes: every read checks what is left first.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t position() const { return pos_; }
  size_t left() const { return size_ - pos_; }
  bool u8(uint8_t* v) {
    if (left() < 1) return false;
    *v = data_[pos_++];
    return true;
  }
  bool u16(uint32_t* v) {
    if (left() < 2) return false;
    *v = (uint32_t{data_[pos_]} << 8) | data_[pos_ + 1];
    pos_ += 2;
    return true;
  }
  bool u32(uint32_t* v) {
    if (left() < 4) return false;
    *v = flv::readU32(data_ + pos_);
    pos_ += 4;
    return true;
  }
  bool f64(double* v) {
    if (left() < 8) return false;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | data_[pos_ + i];
    pos_ += 8;
    *v = std::bit_cast<double>(bits);
    return true;
  }
  bool text(size_t n, std::string* s) {
    if (left() < n) return false;
    s->assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
  }
  // The three bytes 00 00 09 that close an object or ECMA array.
  bool atObjectEnd() const {
    return left() >= 3 && data_[pos_] == 0 && data_[pos_ + 1] == 0 && data_[pos_ + 2] == flv::kAmfObjectEnd;
  }
  void skip(size_t n) { pos_ += n; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// One open container while decoding.
struct OpenContainer {
  Amf0Value* value;
  uint32_t elementsLeft;  // strict arrays only
};

enum class Step { kScalar, kContainer, kFailed };

// Decodes one value's marker and, for scalars, its body. For containers only
// the header is consumed; their members follow.
Step readValueHead(Cursor& in, Amf0Value* v, uint32_t* strictCount) {
  uint8_t marker;
  if (!in.u8(&marker)) return Step::kFailed;
  uint32_t n = 0;
  switch (marker) {
    case flv::kAmfNumber:
      v->type = Amf0Value::Type::kNumber;
      return in.f64(&v->number) ? Step::kScalar : Step::kFailed;
    case flv::kAmfBoolean: {
      uint8_t b;
      if (!in.u8(&b)) return Step::kFailed;
      v->type = Amf0Value::Type::kBoolean;
      v->number = b ? 1 : 0;
      return Step::kScalar;
    }
    case flv::kAmfString:
      v->type = Amf0Value::Type::kString;
      return in.u16(&n) && in.text(n, &v->text) ? Step::kScalar : Step::kFailed;
    case flv::kAmfLongString:
      v->type = Amf0Value::Type::kString;
      return in.u32(&n) && in.text(n, &v->text) ? Step::kScalar : Step::kFailed;
    case flv::kAmfNull: v->type = Amf0Value::Type::kNull; return Step::kScalar;
    case flv::kAmfUndefined: v->type = Amf0Value::Type::kUndefined; return Step::kScalar;
    case flv::kAmfDate: {
      v->type = Amf0Value::Type::kDate;
      uint32_t timeZone;
      return in.f64(&v->number) && in.u16(&timeZone) ? Step::kScalar : Step::kFailed;
    }
    case flv::kAmfObject: v->type = Amf0Value::Type::kObject; return Step::kContainer;
    case flv::kAmfEcmaArray:
      v->type = Amf0Value::Type::kEcmaArray;
      // The stored count is advisory; the end marker closes the array.
      return in.u32(&n) ? Step::kContainer : Step::kFailed;
    case flv::kAmfStrictArray:
      v->type = Amf0Value::Type::kStrictArray;
      if (!in.u32(strictCount)) return Step::kFailed;
      return Step::kContainer;
    default:
      return Step::kFailed;  // references, movie clips, unknown markers
  }
}

}  // namespace

size_t readAmf0(const uint8_t* data, size_t size, Amf0Value* value) {
  Cursor in(data, size);
  *value = Amf0Value{};
  std::vector<OpenContainer> open;
  size_t values = 1;
  uint32_t count = 0;
  Step first = readValueHead(in, value, &count);
  if (first == Step::kFailed) return 0;
  if (first == Step::kContainer) open.push_back({value, count});
  while (!open.empty()) {
    OpenContainer& top = open.back();
    std::string name;
    if (top.value->type == Amf0Value::Type::kStrictArray) {
      if (top.elementsLeft == 0) {
        open.pop_back();
        continue;
      }
      --top.elementsLeft;
    } else {
      if (in.atObjectEnd()) {
        in.skip(3);
        open.pop_back();
        continue;
      }
      uint32_t length;
      if (!in.u16(&length) || !in.text(length, &name)) return 0;
    }
    if (++values > kAmf0MaxValues) return 0;
    top.value->members.emplace_back(std::move(name), Amf0Value{});
    Amf0Value* member = &top.value->members.back().second;
    Step step = readValueHead(in, member, &count);
    if (step == Step::kFailed) return 0;
    if (step == Step::kContainer) {
      if (open.size() >= static_cast<size_t>(kAmf0MaxDepth)) return 0;
      open.push_back({member, count});
    }
  }
  return in.position();
}

bool readAmf0Name(const uint8_t* data, size_t size, std::string* name) {
  Cursor in(data, size);
  uint8_t marker;
  uint32_t length;
  return in.u8(&marker) && marker == flv::kAmfString && in.u16(&length) && in.text(length, name);
}

}  // namespace tarvel
