// XXH64 (seed 0): the fast, non-cryptographic 64-bit hash that tells the
// batch whether an input changed since it was repaired, and that spreads the
// inputs over shards. It finds accidents, not forgeries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace batch {

class Xxh64 {
 public:
  void update(const uint8_t* data, size_t size);
  uint64_t digest() const;

 private:
  void stripe(const uint8_t* p);
  uint64_t v_[4] = {0x9E3779B185EBCA87ull + 0xC2B2AE3D27D4EB4Full, 0xC2B2AE3D27D4EB4Full, 0,
                    0 - 0x9E3779B185EBCA87ull};
  uint8_t pending_[32] = {};
  size_t pendingSize_ = 0;
  uint64_t total_ = 0;
};

uint64_t xxh64(const void* data, size_t size);
inline uint64_t xxh64(const std::string& s) { return xxh64(s.data(), s.size()); }

// The whole file's hash and size, read in 256 KiB pieces. False when it cannot
// be opened or read.
bool hashFile(const std::string& path, uint64_t* hash, int64_t* size);

// "xxh64:" and 16 lower-case hex digits.
std::string hashText(uint64_t hash);

}  // namespace batch
