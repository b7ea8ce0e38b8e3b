// Test support: FLV files built tag by tag in memory, and read back with a
// parser of its own, independent of the library under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_flv {

struct Tag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;  // everything after the 11-byte header
};

class FlvBuilder {
 public:
  explicit FlvBuilder(uint8_t headerFlags = 0x05) : headerFlags_(headerFlags) {}
  // An audio tag: flags byte then payload; an empty payload with
  // withFlags=false gives a tag of no data at all.
  FlvBuilder& audio(uint32_t ms, uint8_t flags, std::vector<uint8_t> payload, bool withFlags = true);
  FlvBuilder& video(uint32_t ms, uint8_t flags = 0x22, std::vector<uint8_t> payload = {0, 0, 0, 0});
  FlvBuilder& script(uint32_t ms, std::vector<uint8_t> data);
  FlvBuilder& tag(Tag t);
  std::vector<uint8_t> bytes() const;
  void save(const std::string& path) const;

 private:
  uint8_t headerFlags_;
  std::vector<Tag> tags_;
};

struct ParsedFlv {
  bool ok = false;
  uint8_t headerFlags = 0;
  std::vector<Tag> tags;
};
ParsedFlv parseFlv(const std::string& path);

// Temporary directory removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One MPEG-1 layer III frame header (44.1 kHz, 128 kb/s = 417 or 418 bytes)
// is too coarse for exact tests; this makes a zero-filled MPEG frame of the
// given version bits (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5), layer III, bitrate
// index and sample-rate index, with its computed length.
std::vector<uint8_t> mp3Frame(int versionBits, int bitrateIndex, int rateIndex, bool padding = false);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testing_flv
