#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libs/quennet/quennet.h"
#include "platform/testing/tools.h"

namespace {

using testing_flv::decodedSamples;
using testing_flv::hasTool;
using testing_flv::readFile;
using testing_flv::run;
using testing_flv::TempDir;
using testing_flv::writeFile;

constexpr int64_t kTicksPerSecond = 10000000;

// Opens, describes and releases like the program does; false on any failure.
bool describeFile(const std::string& path, AvInfo* info, int32_t mode = 6) {
  void* reader = AVR_Create();
  if (!reader) return false;
  bool ok = AVR_Open(reader, path.c_str(), mode) != 0;
  if (ok) {
    ok = AVR_GetAVInfo(reader, info) != 0;
    AVR_Close(reader);
  }
  AVR_Delete(reader);
  return ok;
}

// A zero-filled layer III frame: version bits 3 (MPEG-1), 2 (MPEG-2) or
// 0 (MPEG-2.5), mono.
std::vector<uint8_t> silentFrame(int versionBits, int bitrateIndex, int rateIndex) {
  uint8_t header[4] = {0xFF, static_cast<uint8_t>(0xE3 | (versionBits << 3)),
                       static_cast<uint8_t>((bitrateIndex << 4) | (rateIndex << 2)), 0xC0};
  int32_t samples = 0, rate = 0;
  int32_t length = GetMP3FrameSize(header, &samples, &rate);
  std::vector<uint8_t> frame(static_cast<size_t>(length > 0 ? length : 4), 0);
  std::copy(header, header + 4, frame.begin());
  return frame;
}

std::vector<uint8_t> repeat(const std::vector<uint8_t>& frame, int count) {
  std::vector<uint8_t> out;
  for (int i = 0; i < count; ++i) out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

TEST(MediaReader, FramesWithoutAnEncoderTagCountEverySample) {
  TempDir dir;
  // 25 MPEG-2 frames of 576 samples at 22050 Hz: 14400 samples.
  std::string path = dir.file("plain.mp3");
  writeFile(path, repeat(silentFrame(2, 8, 0), 25));
  AvInfo info{};
  ASSERT_TRUE(describeFile(path, &info));
  EXPECT_EQ(info.frameCount, 25);
  EXPECT_EQ(info.sampleCount, 14400);
  EXPECT_EQ(info.duration, 14400 * kTicksPerSecond / 22050);  // 6530612, truncated
  EXPECT_EQ(info.duration, 6530612);
  EXPECT_EQ(info.sampleRate, 22050);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.mpegVersion, 2);
  EXPECT_EQ(info.layer, 3);
  EXPECT_EQ(info.bitRate, 208 * 8 * 22050 / 576);  // 208-byte frames: 63700 b/s
  EXPECT_EQ(info.hasAudio, 1);
  EXPECT_EQ(info.hasVideo, 0);
}

TEST(MediaReader, SkipsTagsAtBothEnds) {
  TempDir dir;
  std::vector<uint8_t> frames = repeat(silentFrame(0, 1, 2), 40);  // MPEG-2.5 8 kHz
  // ID3v2.4 header with the footer flag: 10 + 300 + 10 bytes. The body is
  // full of sync-like bytes that must not be taken for frames.
  std::vector<uint8_t> file = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0x02, 0x2C};
  std::vector<uint8_t> body(300, 0xFF);
  append(file, body);
  append(file, {'3', 'D', 'I', 4, 0, 0x10, 0, 0, 0x02, 0x2C});
  append(file, frames);
  // An APE tag with header (32 + 20 bytes of items + 32), then ID3v1.
  std::vector<uint8_t> ape = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0,
                              52, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0};
  append(file, ape);
  append(file, std::vector<uint8_t>(20, 0xFF));
  ape[23] = 0x80;  // the footer: "has a header", "is the footer"
  append(file, ape);
  std::vector<uint8_t> id3v1(128, 0xFF);
  id3v1[0] = 'T', id3v1[1] = 'A', id3v1[2] = 'G';
  append(file, id3v1);
  std::string path = dir.file("tagged.mp3");
  writeFile(path, file);

  AvInfo info{};
  ASSERT_TRUE(describeFile(path, &info));
  EXPECT_EQ(info.frameCount, 40);
  EXPECT_EQ(info.sampleCount, 40 * 576);
  EXPECT_EQ(info.duration, 40 * 576 * kTicksPerSecond / 8000);
  EXPECT_EQ(info.mpegVersion, 25);
}

TEST(MediaReader, StepsOverGarbageBetweenFrames) {
  TempDir dir;
  std::vector<uint8_t> frame = silentFrame(3, 9, 0);  // MPEG-1 128k 44.1 kHz
  std::vector<uint8_t> file = repeat(frame, 10);
  // A lone header that no second frame confirms, in a run of noise.
  std::vector<uint8_t> garbage(3000, 0x5A);
  garbage[100] = 0xFF, garbage[101] = 0xFB, garbage[102] = 0x90, garbage[103] = 0x00;
  append(file, garbage);
  append(file, repeat(frame, 7));
  std::string path = dir.file("garbage.mp3");
  writeFile(path, file);
  AvInfo info{};
  ASSERT_TRUE(describeFile(path, &info));
  EXPECT_EQ(info.frameCount, 17);
  EXPECT_EQ(info.sampleCount, 17 * 1152);
}

TEST(MediaReader, DropsAFrameCutShortAtTheEnd) {
  TempDir dir;
  std::vector<uint8_t> whole = repeat(silentFrame(3, 9, 0), 12);
  ASSERT_GT(whole.size(), 100u);
  std::string path = dir.file("cut.mp3");
  writeFile(path, std::vector<uint8_t>(whole.begin(), whole.end() - 100));
  AvInfo info{};
  ASSERT_TRUE(describeFile(path, &info));
  EXPECT_EQ(info.frameCount, 11);
}

TEST(MediaReader, RefusesWhatIsNotMp3) {
  TempDir dir;
  std::string text = dir.file("text.mp3");
  writeFile(text, std::vector<uint8_t>(5000, 'a'));
  std::string empty = dir.file("empty.mp3");
  writeFile(empty, {});
  std::string flv = dir.file("video.flv");
  writeFile(flv, {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
  // Noise in which sync-like patterns occur but never chain into frames.
  std::vector<uint8_t> noise(200000);
  uint32_t x = 12345;
  for (uint8_t& b : noise) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  std::string noisy = dir.file("noise.mp3");
  writeFile(noisy, noise);

  AvInfo info{};
  EXPECT_FALSE(describeFile(text, &info));
  EXPECT_FALSE(describeFile(empty, &info));
  EXPECT_FALSE(describeFile(flv, &info));
  EXPECT_FALSE(describeFile(noisy, &info));
  EXPECT_FALSE(describeFile(dir.file("missing.mp3"), &info));
  EXPECT_FALSE(describeFile(dir.file(""), &info));  // a directory
}

TEST(MediaReader, ReportsNothingUnlessOpen) {
  TempDir dir;
  std::string path = dir.file("ok.mp3");
  writeFile(path, repeat(silentFrame(2, 8, 0), 3));
  AvInfo info{};
  EXPECT_FALSE(describeFile(path, &info, 5));  // only mode 6 exists
  void* reader = AVR_Create();
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(AVR_GetAVInfo(reader, &info), 0);
  ASSERT_NE(AVR_Open(reader, path.c_str(), 6), 0);
  EXPECT_NE(AVR_GetAVInfo(reader, &info), 0);
  AVR_Close(reader);
  EXPECT_EQ(AVR_GetAVInfo(reader, &info), 0);
  AVR_Delete(reader);
  AVR_Delete(nullptr);
  EXPECT_EQ(AVR_Open(nullptr, path.c_str(), 6), 0);
}

struct LameCase {
  const char* name;
  int rate;
  int channels;
  const char* options;
};

// lame's own choices of MPEG version by rate: MPEG-1 at 32 to 48 kHz,
// MPEG-2 at 16 to 24 kHz, MPEG-2.5 at 8 to 12 kHz.
const LameCase kLameCases[] = {
    {"cbr-44k-stereo", 44100, 2, "-b 128"},
    {"vbr-44k-stereo", 44100, 2, "-V 2"},
    {"cbr-48k-mono", 48000, 1, "-b 64"},
    {"abr-32k-stereo", 32000, 2, "--abr 96"},
    {"cbr-22k-mono", 22050, 1, "-b 32"},
    {"vbr-24k-stereo", 24000, 2, "-V 5"},
    {"vbr-16k-mono", 16000, 1, "-V 4"},
    {"cbr-11k-mono", 11025, 1, "-b 24"},
    {"vbr-12k-stereo", 12000, 2, "-V 6"},
    {"cbr-8k-mono", 8000, 1, "-b 32"},
    {"cbr-8k-mono-8kbps", 8000, 1, "-b 8"},  // too small a frame for a LAME tag
    {"id3v2-44k", 44100, 2, "-b 160 --add-id3v2 --tt Title --ta Artist --tc "
                            "'a comment long enough to fill a few hundred bytes of tag'"},
    {"id3v1-22k", 22050, 2, "-V 3 --id3v1-only --tt Title --ta Artist"},
    {"id3-both-16k", 16000, 1, "-b 48 --id3v2-only --tt T --ty 2001"},
};

TEST(MediaReader, MeasuresLameFilesAsFfmpegDecodesThem) {
  if (!hasTool("ffmpeg") || !hasTool("lame")) GTEST_SKIP() << "ffmpeg or lame is missing";
  TempDir dir;
  for (const LameCase& c : kLameCases) {
    SCOPED_TRACE(c.name);
    std::string wav = dir.file(std::string(c.name) + ".wav");
    std::string mp3 = dir.file(std::string(c.name) + ".mp3");
    // A length that is no whole number of frames, so that padding matters.
    const int64_t input = c.rate * 17 / 10 - 333;
    ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i sine=f=440:r=" + std::to_string(c.rate) +
                    ":d=1.7 -af atrim=end_sample=" + std::to_string(input) +
                    " -ac " + std::to_string(c.channels) + " -c:a pcm_s16le '" + wav + "'"));
    ASSERT_TRUE(run("lame --quiet --noreplaygain " + std::string(c.options) + " '" + wav +
                    "' '" + mp3 + "'"));
    int64_t decoded = decodedSamples(mp3, c.channels);
    ASSERT_GT(decoded, 0);

    AvInfo info{};
    ASSERT_TRUE(describeFile(mp3, &info));
    EXPECT_EQ(info.sampleRate, c.rate);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(info.sampleCount, decoded);
    EXPECT_EQ(info.duration, decoded * kTicksPerSecond / c.rate);
    // Where lame could record its delay and padding, the file plays exactly
    // what went in.
    if (info.encoderDelay > 0) {
      EXPECT_EQ(info.sampleCount, input);
    }
  }
}

TEST(MediaReader, MeasuresFfmpegFilesWithTheirLavcTag) {
  if (!hasTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is missing";
  TempDir dir;
  const int rates[] = {44100, 22050, 11025};
  for (int rate : rates) {
    SCOPED_TRACE(rate);
    std::string mp3 = dir.file("lavf" + std::to_string(rate) + ".mp3");
    ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i sine=f=440:r=" + std::to_string(rate) +
                    ":d=2.3 -c:a libmp3lame -b:a 64k '" + mp3 + "'"));
    int64_t decoded = decodedSamples(mp3, 1);
    AvInfo info{};
    ASSERT_TRUE(describeFile(mp3, &info));
    EXPECT_GT(info.encoderDelay, 0);
    EXPECT_EQ(info.sampleCount, decoded);
    EXPECT_EQ(info.duration, decoded * kTicksPerSecond / rate);
  }
}

TEST(MediaReader, ACutLameFileKeepsItsDelayButHasNoPaddingToDrop) {
  if (!hasTool("ffmpeg") || !hasTool("lame")) GTEST_SKIP() << "ffmpeg or lame is missing";
  TempDir dir;
  std::string wav = dir.file("in.wav"), mp3 = dir.file("full.mp3"), cut = dir.file("cut.mp3");
  ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i sine=f=440:r=44100:d=2 -ac 1 '" + wav + "'"));
  ASSERT_TRUE(run("lame --quiet -b 128 '" + wav + "' '" + mp3 + "'"));
  AvInfo full{};
  ASSERT_TRUE(describeFile(mp3, &full));
  EXPECT_EQ(full.sampleCount, 88200);
  ASSERT_GT(full.encoderPadding, 0);

  std::vector<uint8_t> bytes = readFile(mp3);
  ASSERT_GT(bytes.size(), 20000u);
  writeFile(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20000));
  AvInfo info{};
  ASSERT_TRUE(describeFile(cut, &info));
  EXPECT_EQ(info.frameCount, (20000 - 417) / 417);  // 128 kb/s frames of 417 or 418 bytes
  EXPECT_EQ(info.sampleCount, int64_t{info.frameCount} * 1152 - info.encoderDelay);
}

}  // namespace
