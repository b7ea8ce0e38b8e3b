// FLV, MP3 and AMF0 readers of the end-to-end tests: small, strict and
// written apart from the libraries they check.
#include <algorithm>
#include <cstring>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Where each AVC picture is shown, in file order.
std::vector<int64_t> shownAt(const Flv& f) {
  std::vector<int64_t> times;
  for (const Tag& t : f.tags) {
    if (t.type == 9 && t.data.size() >= 5 && (t.data[0] & 0x0F) == 7 && t.data[1] == 1)
      times.push_back(int64_t{static_cast<int32_t>(t.timestamp)} + compositionOffset(t));
  }
  return times;
}

}  // namespace

// ---- FLV -------------------------------------------------------------------

int32_t compositionOffset(const Tag& t) {
  if (t.type != 9 || t.data.size() < 5 || (t.data[0] & 0x0F) != 7 || t.data[1] != 1) return 0;
  int32_t offset = static_cast<int32_t>(be(t.data.data() + 2, 3));
  return offset >= 0x800000 ? offset - 0x1000000 : offset;
}

bool hasCompositionOffsets(const Flv& f) {
  for (const Tag& t : f.tags)
    if (compositionOffset(t) != 0) return true;
  return false;
}

int framesShownOutOfOrder(const Flv& in, const Flv& out) {
  std::vector<int64_t> before = shownAt(in), after = shownAt(out);
  if (before.size() != after.size()) return -1;
  std::vector<size_t> order(before.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return before[a] < before[b]; });
  int wrong = 0;
  for (size_t k = 1; k < order.size(); ++k)
    if (after[order[k]] <= after[order[k - 1]]) ++wrong;
  return wrong;
}

// ---- MP3 -------------------------------------------------------------------

std::optional<Mp3Frame> mp3FrameAt(const uint8_t* p, size_t available) {
  if (available < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return std::nullopt;
  int version = (p[1] >> 3) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  int layer = 4 - ((p[1] >> 1) & 3);  // 1, 2, 3; 4 is reserved
  int bitrateIndex = p[2] >> 4;
  int rateIndex = (p[2] >> 2) & 3;
  int padding = (p[2] >> 1) & 1;
  if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return std::nullopt;
  static const int kRates[3] = {44100, 48000, 32000};
  static const int kKbps[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 I
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 II
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 III
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 I
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 II, III
  };
  bool mpeg1 = version == 3;
  int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  int row = mpeg1 ? layer - 1 : (layer == 1 ? 3 : 4);
  int bitsPerSecond = kKbps[row][bitrateIndex - 1] * 1000;
  Mp3Frame f;
  f.sampleRate = rate;
  if (layer == 1) {
    f.samples = 384;
    f.bytes = (12 * bitsPerSecond / rate + padding) * 4;
  } else if (layer == 2 || mpeg1) {
    f.samples = 1152;
    f.bytes = 144 * bitsPerSecond / rate + padding;
  } else {
    f.samples = 576;
    f.bytes = 72 * bitsPerSecond / rate + padding;
  }
  return f;
}

int64_t mp3PayloadTicks(const std::vector<uint8_t>& payload) {
  int64_t ticks = 0;
  size_t pos = 0;
  while (pos < payload.size()) {
    auto frame = mp3FrameAt(payload.data() + pos, payload.size() - pos);
    if (!frame) break;
    ticks += int64_t{frame->samples} * 10000000 / frame->sampleRate;
    pos += static_cast<size_t>(frame->bytes);
  }
  return ticks;
}

std::vector<std::vector<uint8_t>> mp3Frames(const std::vector<uint8_t>& file) {
  std::vector<std::vector<uint8_t>> frames;
  size_t pos = 0;
  if (file.size() >= 10 && std::memcmp(file.data(), "ID3", 3) == 0) {
    // ID3v2 size: four 7-bit bytes, plus the 10-byte header (and a footer).
    size_t size = (size_t{file[6]} << 21) | (size_t{file[7]} << 14) | (size_t{file[8]} << 7) | file[9];
    pos = 10 + size + ((file[5] & 0x10) ? 10 : 0);
  }
  while (pos < file.size()) {
    auto frame = mp3FrameAt(file.data() + pos, file.size() - pos);
    if (!frame || static_cast<size_t>(frame->bytes) > file.size() - pos) break;
    frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos),
                        file.begin() + static_cast<std::ptrdiff_t>(pos + frame->bytes));
    pos += static_cast<size_t>(frame->bytes);
  }
  return frames;
}

// ---- AMF0 ------------------------------------------------------------------

namespace {

// A bounded AMF0 walker that records what onMetaData checks need: numbers
// and booleans by key, strings by key, and keyframes.times/filepositions.
class Amf0Reader {
 public:
  Amf0Reader(const std::vector<uint8_t>& d, Metadata& m) : d_(d), m_(m) {}

  bool name(std::string& out) {
    if (!need(1) || d_[pos_++] != 0x02) return false;
    return shortString(out);
  }

  // Reads one value stored under key inside scope ("" for the top-level
  // object, "keyframes" inside it, "keyframes.times" for that array's items).
  bool value(const std::string& key, const std::string& scope, int depth) {
    if (depth > 16 || !need(1)) return false;
    uint8_t type = d_[pos_++];
    switch (type) {
      case 0x00: {  // number
        if (!need(8)) return false;
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | d_[pos_++];
        double v;
        std::memcpy(&v, &bits, 8);
        if (scope.empty()) m_.numbers[key] = v;
        if (scope == "keyframes.times") m_.keyframeTimes.push_back(v);
        if (scope == "keyframes.filepositions") m_.keyframePositions.push_back(v);
        return true;
      }
      case 0x01:  // boolean
        if (!need(1)) return false;
        if (scope.empty()) m_.numbers[key] = d_[pos_] ? 1 : 0;
        ++pos_;
        return true;
      case 0x02: {  // string
        std::string s;
        if (!shortString(s)) return false;
        if (scope.empty()) m_.strings[key] = s;
        return true;
      }
      case 0x0C: {  // long string
        if (!need(4)) return false;
        uint32_t n = be(&d_[pos_], 4);
        pos_ += 4;
        if (!need(n)) return false;
        pos_ += n;
        return true;
      }
      case 0x03:  // object
        return properties(depth == 0 ? "" : join(scope, key), depth);
      case 0x08:  // ECMA array: a count, then properties up to the end marker
        if (!need(4)) return false;
        pos_ += 4;
        return properties(depth == 0 ? "" : join(scope, key), depth);
      case 0x0A: {  // strict array
        if (!need(4)) return false;
        uint32_t n = be(&d_[pos_], 4);
        pos_ += 4;
        for (uint32_t i = 0; i < n; ++i)
          if (!value("", join(scope, key), depth + 1)) return false;
        return true;
      }
      case 0x0B:  // date: a double and a 16-bit zone
        if (!need(10)) return false;
        pos_ += 10;
        return true;
      case 0x05:
      case 0x06:  // null, undefined
        return true;
      default:
        return false;
    }
  }

  // Properties up to the empty key and end marker.
  bool properties(const std::string& scope, int depth) {
    for (;;) {
      std::string k;
      if (!shortString(k)) return false;
      if (k.empty()) {
        if (!need(1) || d_[pos_] != 0x09) return false;
        ++pos_;
        return true;
      }
      if (!value(k, scope, depth + 1)) return false;
    }
  }

 private:
  static std::string join(const std::string& scope, const std::string& key) {
    return scope.empty() ? key : scope + "." + key;
  }
  bool need(size_t n) const { return d_.size() - pos_ >= n; }
  bool shortString(std::string& out) {
    if (!need(2)) return false;
    size_t n = be(&d_[pos_], 2);
    pos_ += 2;
    if (!need(n)) return false;
    out.assign(d_.begin() + static_cast<std::ptrdiff_t>(pos_), d_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return true;
  }

  const std::vector<uint8_t>& d_;
  Metadata& m_;
  size_t pos_ = 0;
};

}  // namespace

Metadata parseOnMetaData(const Tag& scriptTag) {
  Metadata m;
  if (scriptTag.type != 18) return m;
  Amf0Reader r(scriptTag.data, m);
  std::string name;
  if (!r.name(name) || name != "onMetaData") return m;
  m.ok = r.value("", "", 0);
  return m;
}

}  // namespace e2e
