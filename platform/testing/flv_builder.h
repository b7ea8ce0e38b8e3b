// The tests' support, shared by every layer's tests: scratch folders, whole
// files, and FLV files built tag by tag in memory and read back with a
// strict reader of its own, independent of the libraries under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_flv {

struct Tag {
  uint8_t type = 0;  // 8 audio, 9 video, 18 script
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;  // everything after the 11-byte header
  int64_t offset = 0;         // of the tag header in the file read
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

struct Flv {
  bool ok = false;  // header valid and every tag complete with a matching PreviousTagSize
  uint8_t version = 1;
  uint8_t flags = 0x05;
  uint32_t dataOffset = 9;
  std::vector<Tag> tags;
  std::string problem;  // why ok is false
};

// The tags up to the first fault (problem names it).
Flv readFlv(const std::string& path);
// Writes the header (9 bytes), PreviousTagSize0 and every tag followed by its
// PreviousTagSize; offsets in f are not used.
void writeFlv(const std::string& path, const Flv& f);

uint8_t soundFormat(const Tag& t);                // audio flags bits 7-4
uint8_t videoCodec(const Tag& t);                 // video flags bits 3-0
std::vector<uint8_t> audioPayload(const Tag& t);  // audio data after the flags byte
std::vector<const Tag*> tagsOfType(const Flv& f, uint8_t type);

// A fresh folder under base (by default the system's temporary folder:
// $TMPDIR or /tmp), removed with its contents at destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "");
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
