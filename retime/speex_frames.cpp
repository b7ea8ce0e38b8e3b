#include "retime/speex_frames.h"

#include <array>

namespace {

// The bits of each mode after its header: narrowband modes 0 to 8 after
// their 5 header bits (wideband bit and mode), wideband layer modes 0 to 7
// after their 4 (wideband bit and mode). -1: no such mode.
constexpr std::array<int, 9> kNarrowbandBits = {0, 38, 114, 155, 215, 295, 359, 487, 74};
constexpr std::array<int, 8> kWidebandBits = {0, 32, 108, 188, 348, -1, -1, -1};

// A reader of the payload's bits, most significant first, that behaves as
// libspeex's SpeexBits does past the end: a read or skip that would run
// over the end sets overflow, and from then on every read gives 0 and the
// bits left read -1.
class BitCursor {
 public:
  BitCursor(const uint8_t* data, size_t size) : data_(data), bits_(static_cast<int64_t>(size) * 8) {}

  int64_t remaining() const { return overflow_ ? -1 : bits_ - position_; }

  uint32_t read(int count) {
    uint32_t value = peek(count);
    if (!overflow_) position_ += count;
    return value;
  }

  uint32_t peek(int count) {
    if (position_ + count > bits_) overflow_ = true;
    if (overflow_) return 0;
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      int64_t bit = position_ + i;
      value = (value << 1) | ((data_[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    return value;
  }

  void skip(int64_t count) {
    if (position_ + count > bits_) overflow_ = true;
    if (!overflow_) position_ += count;
  }

 private:
  const uint8_t* data_;
  int64_t bits_;
  int64_t position_ = 0;
  bool overflow_ = false;
};

enum class Frame { kDecoded, kEnd, kInvalid };

// The bits of an in-band request (mode 14) that no handler takes, by its id.
int inbandRequestBits(uint32_t id) {
  if (id < 2) return 1;
  if (id < 8) return 4;
  if (id < 10) return 8;
  if (id < 12) return 16;
  if (id < 14) return 32;
  return 64;
}

// A wideband layer where the narrowband part was expected: skipped by its
// mode's length. One whose mode has no length sends the decoder back over
// its own header, which it then reads as a layer too many.
bool skipLeadingLayer(BitCursor& bits) {
  int length = kWidebandBits[bits.read(3)];
  if (length <= 0) return false;
  bits.skip(length);
  return true;
}

// The narrowband part of a frame: its header, after any requests and
// leading wideband layers, then its mode's bits.
Frame narrowbandPart(BitCursor& bits) {
  for (;;) {
    if (bits.remaining() < 5) return Frame::kEnd;
    if (bits.read(1)) {
      if (!skipLeadingLayer(bits)) return Frame::kInvalid;
      if (bits.remaining() < 5) return Frame::kEnd;
      if (bits.read(1)) {
        if (!skipLeadingLayer(bits)) return Frame::kInvalid;
        if (bits.read(1)) return Frame::kInvalid;  // a third layer
      }
    }
    if (bits.remaining() < 4) return Frame::kEnd;
    uint32_t mode = bits.read(4);
    if (mode == 15) return Frame::kEnd;  // terminator
    if (mode == 14) {
      bits.skip(inbandRequestBits(bits.read(4)));
    } else if (mode == 13) {
      bits.skip(5 + 8 * int64_t{bits.read(4)});  // a user request, by its own size
    } else if (mode > 8) {
      return Frame::kInvalid;
    } else {
      bits.skip(kNarrowbandBits[mode]);
      return Frame::kDecoded;
    }
  }
}

Frame nextFrame(BitCursor& bits) {
  Frame low = narrowbandPart(bits);
  if (low != Frame::kDecoded) return low;
  bool layer = bits.remaining() > 0 && bits.peek(1) != 0;
  if (!layer) return Frame::kDecoded;  // a narrowband frame: its high band is silent
  bits.read(1);
  int length = kWidebandBits[bits.read(3)];
  if (length < 0) return Frame::kInvalid;
  bits.skip(length);
  return Frame::kDecoded;
}

}  // namespace

int64_t countSpeexFrames(const uint8_t* payload, size_t size) {
  if (!payload) return 0;
  BitCursor bits(payload, size);
  int64_t frames = 0;
  for (;;) {
    if (bits.remaining() < 5 || bits.peek(5) == 0xF) return frames;
    Frame frame = nextFrame(bits);
    if (frame == Frame::kEnd) return frames;
    ++frames;
    if (frame == Frame::kInvalid) return frames;
  }
}
