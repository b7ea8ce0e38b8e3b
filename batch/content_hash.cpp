#include "batch/content_hash.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace batch {
namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Little-endian, whatever the machine: one load where the machine is.
inline uint64_t read64(const uint8_t* p) {
  uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, sizeof v);
  } else {
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}
inline uint64_t read32(const uint8_t* p) {
  return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24;
}

inline uint64_t round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  return rotl(acc, 31) * kPrime1;
}

inline uint64_t merge(uint64_t acc, uint64_t v) {
  acc ^= round(0, v);
  return acc * kPrime1 + kPrime4;
}

}  // namespace

void Xxh64::stripe(const uint8_t* p) {
  v_[0] = round(v_[0], read64(p));
  v_[1] = round(v_[1], read64(p + 8));
  v_[2] = round(v_[2], read64(p + 16));
  v_[3] = round(v_[3], read64(p + 24));
}

void Xxh64::update(const uint8_t* data, size_t size) {
  total_ += size;
  if (pendingSize_ > 0) {
    const size_t take = std::min(size, sizeof pending_ - pendingSize_);
    std::memcpy(pending_ + pendingSize_, data, take);
    pendingSize_ += take;
    data += take;
    size -= take;
    if (pendingSize_ < sizeof pending_) return;
    stripe(pending_);
    pendingSize_ = 0;
  }
  for (; size >= 32; data += 32, size -= 32) stripe(data);
  std::memcpy(pending_, data, size);
  pendingSize_ = size;
}

uint64_t Xxh64::digest() const {
  uint64_t h = 0;
  if (total_ >= 32) {
    h = rotl(v_[0], 1) + rotl(v_[1], 7) + rotl(v_[2], 12) + rotl(v_[3], 18);
    for (uint64_t v : v_) h = merge(h, v);
  } else {
    h = kPrime5;  // the seed, 0, plus prime 5
  }
  h += total_;
  const uint8_t* p = pending_;
  size_t left = pendingSize_;
  for (; left >= 8; p += 8, left -= 8) {
    h ^= round(0, read64(p));
    h = rotl(h, 27) * kPrime1 + kPrime4;
  }
  if (left >= 4) {
    h ^= read32(p) * kPrime1;
    h = rotl(h, 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) {
    h ^= *p * kPrime5;
    h = rotl(h, 11) * kPrime1;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

uint64_t xxh64(const void* data, size_t size) {
  Xxh64 h;
  h.update(static_cast<const uint8_t*>(data), size);
  return h.digest();
}

bool hashFile(const std::string& path, uint64_t* hash, int64_t* size) {
  platform::File file;
  if (!file.open(path.c_str(), platform::File::Mode::kRead)) return false;
  // One buffer per thread, kept: small enough that what is read is hashed
  // while still in the cache, and no fresh pages to fault in per file.
  thread_local std::vector<uint8_t> buffer(size_t(256) << 10);
  Xxh64 h;
  int64_t total = 0;
  while (true) {
    const int64_t n = file.read(buffer.data(), static_cast<int64_t>(buffer.size()));
    if (n < 0) return false;
    if (n == 0) break;
    h.update(buffer.data(), static_cast<size_t>(n));
    total += n;
  }
  *hash = h.digest();
  *size = total;
  return true;
}

std::string hashText(uint64_t hash) {
  char text[32];
  std::snprintf(text, sizeof text, "xxh64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace batch
