#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "libs/quennet/quennet.h"
#include "platform/testing/tools.h"

namespace {

using testing_flv::capture;
using testing_flv::hasTool;
using testing_flv::readFile;
using testing_flv::run;
using testing_flv::TempDir;

struct HeaderCase {
  uint8_t header[4];
  int32_t length;
  int32_t samples;
  int32_t rate;
};

// Lengths worked out by hand from the standard's formulas.
const HeaderCase kHeaders[] = {
    {{0xFF, 0xFB, 0x90, 0x00}, 417, 1152, 44100},   // MPEG-1 III 128k 44.1k
    {{0xFF, 0xFB, 0x92, 0x00}, 418, 1152, 44100},   // ... padded
    {{0xFF, 0xFA, 0x90, 0xC0}, 417, 1152, 44100},   // CRC protected, mono
    {{0xFF, 0xFB, 0xE4, 0x00}, 960, 1152, 48000},   // MPEG-1 III 320k 48k
    {{0xFF, 0xFB, 0x18, 0x00}, 144, 1152, 32000},   // MPEG-1 III 32k 32k
    {{0xFF, 0xF3, 0x80, 0xC0}, 208, 576, 22050},    // MPEG-2 III 64k 22.05k
    {{0xFF, 0xF3, 0x84, 0xC0}, 192, 576, 24000},    // MPEG-2 III 64k 24k
    {{0xFF, 0xF3, 0xE8, 0x00}, 720, 576, 16000},    // MPEG-2 III 160k 16k
    {{0xFF, 0xE3, 0x18, 0xC0}, 72, 576, 8000},      // MPEG-2.5 III 8k 8k
    {{0xFF, 0xE3, 0x10, 0xC0}, 52, 576, 11025},     // MPEG-2.5 III 8k 11.025k
    {{0xFF, 0xE3, 0x16, 0xC0}, 49, 576, 12000},     // MPEG-2.5 III 8k 12k padded
    {{0xFF, 0xFD, 0xA4, 0x00}, 576, 1152, 48000},   // MPEG-1 II 192k 48k
    {{0xFF, 0xFD, 0xEA, 0x00}, 1729, 1152, 32000},  // MPEG-1 II 384k 32k padded
    {{0xFF, 0xF5, 0xE8, 0xC0}, 1440, 1152, 16000},  // MPEG-2 II 160k 16k
    {{0xFF, 0xE5, 0x18, 0xC0}, 144, 1152, 8000},    // MPEG-2.5 II 8k 8k
    {{0xFF, 0xFF, 0xE8, 0x00}, 672, 384, 32000},    // MPEG-1 I 448k 32k
    {{0xFF, 0xFF, 0xEA, 0x00}, 676, 384, 32000},    // ... padded: one 4-byte slot
    {{0xFF, 0xFF, 0x10, 0x00}, 32, 384, 44100},     // MPEG-1 I 32k 44.1k
    {{0xFF, 0xF7, 0xE4, 0x00}, 512, 384, 24000},    // MPEG-2 I 256k 24k
    {{0xFF, 0xE7, 0x18, 0x00}, 192, 384, 8000},     // MPEG-2.5 I 32k 8k
};

TEST(GetMP3FrameSize, MatchesTheStandardTables) {
  for (const HeaderCase& c : kHeaders) {
    int32_t samples = 0, rate = 0;
    SCOPED_TRACE(::testing::Message() << std::hex << int{c.header[1]} << " " << int{c.header[2]});
    EXPECT_EQ(GetMP3FrameSize(c.header, &samples, &rate), c.length);
    EXPECT_EQ(samples, c.samples);
    EXPECT_EQ(rate, c.rate);
  }
}

TEST(GetMP3FrameSize, RefusesHeadersThatNameNothing) {
  const uint8_t bad[][4] = {
      {0xFE, 0xFB, 0x90, 0x00},  // broken sync
      {0xFF, 0x1B, 0x90, 0x00},  // broken sync in the second byte
      {0xFF, 0xEB, 0x90, 0x00},  // reserved version
      {0xFF, 0xF9, 0x90, 0x00},  // reserved layer
      {0xFF, 0xFB, 0x00, 0x00},  // free-format bitrate
      {0xFF, 0xFB, 0xF0, 0x00},  // bad bitrate index
      {0xFF, 0xFB, 0x9C, 0x00},  // reserved sample-rate index
      {0x00, 0x00, 0x00, 0x00},
  };
  for (const auto& h : bad) {
    int32_t samples = 7, rate = 7;
    EXPECT_EQ(GetMP3FrameSize(h, &samples, &rate), -1);
  }
  EXPECT_EQ(GetMP3FrameSize(nullptr, nullptr, nullptr), -1);
}

TEST(GetMP3FrameSize, EveryValidHeaderHasAPositiveLengthAndRate) {
  int valid = 0;
  for (int b1 = 0xE0; b1 <= 0xFF; ++b1) {
    for (int b2 = 0; b2 <= 0xFF; ++b2) {
      const uint8_t h[4] = {0xFF, static_cast<uint8_t>(b1), static_cast<uint8_t>(b2), 0};
      int32_t samples = 0, rate = 0;
      int32_t length = GetMP3FrameSize(h, &samples, &rate);
      if (length == -1) continue;
      ++valid;
      EXPECT_GT(length, 0);
      EXPECT_GT(rate, 0);
      EXPECT_TRUE(samples == 384 || samples == 576 || samples == 1152);
    }
  }
  // 3 versions x 3 layers x 14 bitrates x 3 rates, each with or without
  // CRC, padding and the private bit.
  EXPECT_EQ(valid, 3 * 3 * 14 * 3 * 2 * 2 * 2);
}

// One decoded frame as ffprobe reports it.
struct ProbedFrame {
  int64_t pos = -1;
  int64_t size = 0;
  int64_t samples = 0;
};

std::vector<ProbedFrame> probeFrames(const std::string& path) {
  std::vector<ProbedFrame> frames;
  std::istringstream lines(capture(
      "ffprobe -v error -show_entries frame=pkt_pos,pkt_size,nb_samples "
      "-of compact=p=0 '" + path + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    ProbedFrame f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      size_t eq = field.find('=');
      if (eq == std::string::npos) continue;
      std::string key = field.substr(0, eq);
      int64_t value = std::stoll(field.substr(eq + 1));
      if (key == "pkt_pos") f.pos = value;
      if (key == "pkt_size") f.size = value;
      if (key == "nb_samples") f.samples = value;
    }
    frames.push_back(f);
  }
  return frames;
}

struct EncoderCase {
  const char* name;
  const char* options;  // ffmpeg output options
  int rate;
};

// Files without a Xing frame, so that ffmpeg decodes every frame whole and
// reports each one's position, size and sample count.
const EncoderCase kEncoded[] = {
    {"mpeg1-l3-stereo.mp3", "-c:a libmp3lame -b:a 128k -ac 2 -write_xing 0 -f mp3", 44100},
    {"mpeg1-l3-vbr.mp3", "-c:a libmp3lame -q:a 4 -ac 2 -write_xing 0 -f mp3", 32000},
    {"mpeg2-l3-mono.mp3", "-c:a libmp3lame -b:a 48k -ac 1 -write_xing 0 -f mp3", 22050},
    {"mpeg2-l3-vbr.mp3", "-c:a libmp3lame -q:a 2 -ac 1 -write_xing 0 -f mp3", 16000},
    {"mpeg25-l3-8k.mp3", "-c:a libmp3lame -b:a 16k -ac 1 -write_xing 0 -f mp3", 8000},
    {"mpeg25-l3-11k.mp3", "-c:a libmp3lame -b:a 24k -ac 2 -write_xing 0 -f mp3", 11025},
    {"mpeg1-l2-48k.mp2", "-c:a mp2 -b:a 192k -ac 2 -f mp2", 48000},
    {"mpeg2-l2-16k.mp2", "-c:a mp2 -b:a 64k -ac 1 -f mp2", 16000},
    {"mpeg2-l2-22k.mp2", "-c:a mp2 -b:a 32k -ac 1 -f mp2", 22050},
};

TEST(GetMP3FrameSize, WalksFilesMadeByFfmpegFrameForFrame) {
  if (!hasTool("ffmpeg") || !hasTool("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  for (const EncoderCase& c : kEncoded) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file(c.name);
    ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i sine=f=330:r=" + std::to_string(c.rate) +
                    ":d=1.3 " + c.options + " '" + path + "'"));
    std::vector<uint8_t> bytes = readFile(path);
    std::vector<ProbedFrame> probed = probeFrames(path);
    ASSERT_GT(probed.size(), 10u);

    size_t pos = static_cast<size_t>(probed.front().pos);
    int64_t walkedSamples = 0, probedSamples = 0;
    for (const ProbedFrame& f : probed) {
      ASSERT_EQ(static_cast<int64_t>(pos), f.pos);
      ASSERT_LE(pos + 4, bytes.size());
      int32_t samples = 0, rate = 0;
      int32_t length = GetMP3FrameSize(&bytes[pos], &samples, &rate);
      ASSERT_EQ(length, f.size);
      EXPECT_EQ(rate, c.rate);
      walkedSamples += samples;
      probedSamples += f.samples;
      pos += static_cast<size_t>(length);
    }
    EXPECT_EQ(pos, bytes.size());
    EXPECT_EQ(walkedSamples, probedSamples);
  }
}

TEST(Quennet_init, MayBeCalledMoreThanOnce) {
  EXPECT_NE(Quennet_init(), 0);
  EXPECT_NE(Quennet_init(), 0);
}

}  // namespace
