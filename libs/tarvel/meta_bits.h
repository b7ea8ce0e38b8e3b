// A most-significant-bit-first reader over untrusted bytes, for the codec
// headers the metadata rebuild looks into. Reads past the end fail and keep
// failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvel {

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), bits_(size * 8) {}

  bool ok() const { return ok_; }
  size_t bitsLeft() const { return ok_ ? bits_ - pos_ : 0; }

  // n from 0 to 32.
  uint32_t bits(int n) {
    if (!ok_ || n < 0 || n > 32 || bits_ - pos_ < static_cast<size_t>(n)) {
      ok_ = false;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_) {
      v = (v << 1) | ((data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
    }
    return v;
  }
  bool flag() { return bits(1) != 0; }
  void skip(size_t n) {
    if (!ok_ || bits_ - pos_ < n) {
      ok_ = false;
      return;
    }
    pos_ += n;
  }

  // Exp-Golomb codes, as H.264 headers use them. More than 31 leading zeros
  // cannot be a valid code in the fields read here: fail.
  uint32_t ue() {
    int zeros = 0;
    while (ok_ && bits(1) == 0) {
      if (++zeros > 31) {
        ok_ = false;
        return 0;
      }
    }
    if (!ok_) return 0;
    uint64_t v = (uint64_t{1} << zeros) - 1 + bits(zeros);
    if (v > 0xFFFFFFFFu) {
      ok_ = false;
      return 0;
    }
    return static_cast<uint32_t>(v);
  }
  int32_t se() {
    uint32_t k = ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

 private:
  const uint8_t* data_;
  size_t bits_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// A NAL unit's payload bytes: the emulation-prevention byte of every
// 00 00 03 sequence dropped.
std::vector<uint8_t> unescapeNal(const uint8_t* nal, size_t size);

}  // namespace tarvel
