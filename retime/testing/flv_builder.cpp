#include "retime/testing/flv_builder.h"

#include <cstdio>
#include <cstdlib>
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

uint32_t u24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }

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

ParsedFlv parseFlv(const std::string& path) {
  ParsedFlv result;
  std::vector<uint8_t> b = readFile(path);
  if (b.size() < 13 || b[0] != 'F' || b[1] != 'L' || b[2] != 'V') return result;
  result.headerFlags = b[4];
  size_t pos = (size_t{b[5]} << 24 | size_t{b[6]} << 16 | size_t{b[7]} << 8 | b[8]) + 4;
  while (pos + 11 <= b.size()) {
    Tag t;
    t.type = b[pos];
    uint32_t size = u24(&b[pos + 1]);
    t.timestamp = u24(&b[pos + 4]) | (uint32_t{b[pos + 7]} << 24);
    if (pos + 11 + size + 4 > b.size()) return result;
    t.data.assign(b.begin() + static_cast<long>(pos + 11),
                  b.begin() + static_cast<long>(pos + 11 + size));
    const uint8_t* prev = &b[pos + 11 + size];
    uint32_t previousTagSize = (uint32_t{prev[0]} << 24) | (uint32_t{prev[1]} << 16) |
                      (uint32_t{prev[2]} << 8) | prev[3];
    if (previousTagSize != 11 + size) return result;
    result.tags.push_back(std::move(t));
    pos += 11 + size + 4;
  }
  result.ok = pos == b.size();
  return result;
}

TempDir::TempDir() {
  // create_directory refuses a name that exists, so a clash tries the next.
  auto base = std::filesystem::temp_directory_path();
  std::random_device random;
  for (int i = 0; i < 100 && path_.empty(); ++i) {
    auto candidate = base / ("tagmend-test-" + std::to_string(random()));
    std::error_code ec;
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
