#include "platform/testing/flv_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_flv {

namespace {

void putU24(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  putU24(out, v >> 8);
  out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

FlvBuilder& FlvBuilder::audio(uint32_t ms, uint8_t flags, std::vector<uint8_t> payload,
                              bool withFlags) {
  Tag t{8, ms, {}};
  if (withFlags) t.data.push_back(flags);
  t.data.insert(t.data.end(), payload.begin(), payload.end());
  return tag(std::move(t));
}

FlvBuilder& FlvBuilder::video(uint32_t ms, uint8_t flags, std::vector<uint8_t> payload) {
  Tag t{9, ms, {flags}};
  t.data.insert(t.data.end(), payload.begin(), payload.end());
  return tag(std::move(t));
}

FlvBuilder& FlvBuilder::script(uint32_t ms, std::vector<uint8_t> data) {
  return tag(Tag{18, ms, std::move(data)});
}

FlvBuilder& FlvBuilder::tag(Tag t) {
  tags_.push_back(std::move(t));
  return *this;
}

std::vector<uint8_t> FlvBuilder::bytes() const {
  std::vector<uint8_t> out = {'F', 'L', 'V', 1, headerFlags_, 0, 0, 0, 9, 0, 0, 0, 0};
  for (const Tag& t : tags_) {
    out.push_back(t.type);
    putU24(out, static_cast<uint32_t>(t.data.size()));
    putU24(out, t.timestamp & 0xFFFFFF);
    out.push_back(static_cast<uint8_t>(t.timestamp >> 24));
    putU24(out, 0);
    out.insert(out.end(), t.data.begin(), t.data.end());
    putU32(out, static_cast<uint32_t>(11 + t.data.size()));
  }
  return out;
}

void FlvBuilder::save(const std::string& path) const { writeFile(path, bytes()); }

namespace {

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

void putBe(std::vector<uint8_t>& out, uint32_t v, int n) {
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

Flv readFlv(const std::string& path) {
  Flv f;
  std::vector<uint8_t> b = readFile(path);
  if (b.size() < 13 || std::memcmp(b.data(), "FLV", 3) != 0) {
    f.problem = "no FLV header";
    return f;
  }
  f.version = b[3];
  f.flags = b[4];
  f.dataOffset = be(&b[5], 4);
  if (f.dataOffset < 9 || f.dataOffset + 4 > b.size()) {
    f.problem = "bad DataOffset";
    return f;
  }
  if (be(&b[f.dataOffset], 4) != 0) {
    f.problem = "PreviousTagSize0 is not 0";
    return f;
  }
  size_t pos = f.dataOffset + 4;
  while (pos < b.size()) {
    if (b.size() - pos < 11) {
      f.problem = "truncated tag header at " + std::to_string(pos);
      return f;
    }
    Tag t;
    t.offset = static_cast<int64_t>(pos);
    t.type = b[pos] & 0x1F;
    uint32_t size = be(&b[pos + 1], 3);
    t.timestamp = be(&b[pos + 4], 3) | (uint32_t{b[pos + 7]} << 24);
    if (b.size() - pos - 11 < size + 4ULL) {
      f.problem = "truncated tag at " + std::to_string(pos);
      return f;
    }
    t.data.assign(b.begin() + static_cast<std::ptrdiff_t>(pos + 11),
                  b.begin() + static_cast<std::ptrdiff_t>(pos + 11 + size));
    if (be(&b[pos + 11 + size], 4) != size + 11) {
      f.problem = "wrong PreviousTagSize after tag at " + std::to_string(pos);
      return f;
    }
    f.tags.push_back(std::move(t));
    pos += 11 + size + 4;
  }
  f.ok = true;
  return f;
}

void writeFlv(const std::string& path, const Flv& f) {
  std::vector<uint8_t> out = {'F', 'L', 'V', f.version, f.flags};
  putBe(out, 9, 4);
  putBe(out, 0, 4);
  for (const Tag& t : f.tags) {
    out.push_back(t.type);
    putBe(out, static_cast<uint32_t>(t.data.size()), 3);
    putBe(out, t.timestamp & 0xFFFFFF, 3);
    out.push_back(static_cast<uint8_t>(t.timestamp >> 24));
    putBe(out, 0, 3);
    out.insert(out.end(), t.data.begin(), t.data.end());
    putBe(out, static_cast<uint32_t>(t.data.size() + 11), 4);
  }
  writeFile(path, out);
}

uint8_t soundFormat(const Tag& t) { return t.data.empty() ? 0xFF : t.data[0] >> 4; }
uint8_t videoCodec(const Tag& t) { return t.data.empty() ? 0xFF : t.data[0] & 0x0F; }

std::vector<uint8_t> audioPayload(const Tag& t) {
  if (t.data.empty()) return {};
  return std::vector<uint8_t>(t.data.begin() + 1, t.data.end());
}

std::vector<const Tag*> tagsOfType(const Flv& f, uint8_t type) {
  std::vector<const Tag*> out;
  for (const Tag& t : f.tags)
    if (t.type == type) out.push_back(&t);
  return out;
}

TempDir::TempDir(const std::string& in) {
  // create_directory refuses a name that exists, so a clash tries the next.
  std::error_code ec;
  std::filesystem::path base = in.empty() ? std::filesystem::temp_directory_path(ec) : std::filesystem::path(in);
  std::random_device random;
  for (int i = 0; i < 100 && path_.empty(); ++i) {
    auto candidate = base / ("tagmend-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
  }
  if (path_.empty()) throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> mp3Frame(int versionBits, int bitrateIndex, int rateIndex, bool padding) {
  static const int kBitratesV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kBitratesV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  static const int kRates[3] = {44100, 48000, 32000};
  int rate = kRates[rateIndex] >> (versionBits == 3 ? 0 : versionBits == 2 ? 1 : 2);
  int kbps = (versionBits == 3 ? kBitratesV1 : kBitratesV2)[bitrateIndex];
  int coefficient = versionBits == 3 ? 144 : 72;
  size_t length = static_cast<size_t>(coefficient * kbps * 1000 / rate + (padding ? 1 : 0));
  std::vector<uint8_t> frame(length, 0);
  frame[0] = 0xFF;
  frame[1] = static_cast<uint8_t>(0xE0 | (versionBits << 3) | (1 << 1) | 1);  // layer III, no CRC
  frame[2] = static_cast<uint8_t>((bitrateIndex << 4) | (rateIndex << 2) | (padding ? 2 : 0));
  frame[3] = 0xC0;  // mono
  return frame;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testing_flv
