#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "retime/converted_audio.h"
#include "retime/retime.h"
#include "retime/testing/flv_builder.h"
#include "retime/testing/video_times.h"

namespace {

using testing_flv::FlvBuilder;
using testing_flv::ParsedFlv;
using testing_flv::parseFlv;
using testing_flv::TempDir;
using testing_flv::videoTimes;

constexpr uint8_t kPcm = 0x0E;  // PCM, 44.1 kHz, 16-bit, mono
constexpr int64_t kMs = 10000;

std::vector<uint8_t> bytes(size_t n) { return std::vector<uint8_t>(n, 0x80); }

// An MP3 of whole MPEG-2.5 frames at 8 kHz, 72 ms each, with no encoder tag.
void writeMp3(const std::string& path, int frames) {
  std::vector<uint8_t> file;
  for (int i = 0; i < frames; ++i) {
    std::vector<uint8_t> frame = testing_flv::mp3Frame(0, 1, 2);
    file.insert(file.end(), frame.begin(), frame.end());
  }
  testing_flv::writeFile(path, file);
}

// The input of the worked example: PCM payloads of 100 bytes with a gap
// from 26 to 78 ms between them.
FlvBuilder workedExample() {
  FlvBuilder b;
  b.video(0).audio(0, kPcm, bytes(100));
  b.video(26).audio(26, kPcm, {});
  b.video(52).audio(52, kPcm, {});
  b.video(78).audio(78, kPcm, bytes(100));
  b.video(104);
  return b;
}

struct ConvertedAudioTest : ::testing::Test {
  TempDir dir;
  std::string input = dir.file("in.flv");
  std::string output = dir.file("out.flv");
  std::string mp3 = dir.file("out.mp3");

  ParsedFlv retime(const FlvBuilder& b, int64_t trackDuration) {
    b.save(input);
    EXPECT_EQ(retimeVideoToTrack(input.c_str(), output.c_str(), trackDuration), 1);
    return parseFlv(output);
  }
};

TEST_F(ConvertedAudioTest, WorkedExampleKeepsTheGapAndTruncatesTheDrift) {
  // 100.05 ms: no MP3 file has this length, so it is given directly.
  ParsedFlv out = retime(workedExample(), 1000500);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 26, 51, 77, 103}));
  EXPECT_EQ(testing_flv::rawVideoTimestamp(output, 2), (std::vector<uint8_t>{0, 0, 0x33, 0}));
  EXPECT_EQ(testing_flv::countTags(out, 8), 0);
}

TEST_F(ConvertedAudioTest, ReadsTheTrackLengthFromTheMp3File) {
  // Two 72 ms frames: 144 ms. contentDuration = 144 - 52 = 92 ms; the first
  // payload reaches 46 ms, so the gap opens with a drift of +20 ms.
  writeMp3(mp3, 2);
  workedExample().save(input);
  ASSERT_EQ(retimeToConvertedAudio(mp3.c_str(), input.c_str(), output.c_str()), 1);
  EXPECT_EQ(videoTimes(parseFlv(output)), (std::vector<uint32_t>{0, 26, 72, 98, 124}));

  AvInfo info{};
  ASSERT_EQ(readMediaInfo(mp3.c_str(), &info), 1);
  EXPECT_EQ(info.duration, 144 * kMs);
}

TEST_F(ConvertedAudioTest, RefusesAMissingOrForeignTrackBeforeWritingAnything) {
  workedExample().save(input);
  AvInfo info{};
  EXPECT_EQ(readMediaInfo(mp3.c_str(), &info), 0);
  EXPECT_EQ(retimeToConvertedAudio(mp3.c_str(), input.c_str(), output.c_str()), 0);
  EXPECT_FALSE(platform::fileExists(output.c_str()));
  // An FLV is no MP3.
  EXPECT_EQ(retimeToConvertedAudio(input.c_str(), input.c_str(), output.c_str()), 0);
  EXPECT_FALSE(platform::fileExists(output.c_str()));
}

TEST_F(ConvertedAudioTest, AllEmptyAudioMovesVideoBackByTheFirstGap) {
  FlvBuilder b;
  b.video(5).audio(30, kPcm, {}).video(40).audio(50, kPcm, {}).video(60);
  ParsedFlv out = retime(b, 999 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{5, 10, 30}));
}

TEST_F(ConvertedAudioTest, WithoutAudioVideoKeepsItsTimesAndScriptDataIsDropped) {
  FlvBuilder b(0x01);
  b.script(0, {0x02, 0, 6, 'M', 'A', 'R', 'K', 'E', 'R'}).video(0).video(33).video(66);
  ParsedFlv out = retime(b, 12345);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 33, 66}));
  EXPECT_FALSE(testing_flv::containsMarker(out, "MARKER"));
  EXPECT_EQ(out.headerFlags, 0x01);
}

TEST_F(ConvertedAudioTest, AGapOpenAtTheEndTakesNothingFromTheTrack) {
  // The payload spans the whole 100 ms track; the gap opened at 40 ms moves
  // the video after it by 100 - 40 = +60 ms.
  FlvBuilder b;
  b.audio(0, kPcm, bytes(100)).video(10).audio(40, kPcm, {}).video(50);
  b.audio(60, kPcm, {}).video(70);
  ParsedFlv out = retime(b, 100 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{10, 110, 130}));
}

TEST_F(ConvertedAudioTest, VideoBeforeTheFirstAudioKeepsItsTime) {
  FlvBuilder b;
  b.video(7).video(20).audio(50, kPcm, bytes(10)).video(60);
  ParsedFlv out = retime(b, 500 * kMs);
  // The audio tag at 50 ms starts the track at 0: drift -50 ms.
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{7, 20, 10}));
}

TEST_F(ConvertedAudioTest, VideoMovedBelowZeroWrapsToTheTopOfThe32BitRange) {
  FlvBuilder b;
  b.audio(5000, kPcm, {}).video(1000).video(4999);
  ParsedFlv out = retime(b, 100 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0xFFFFF060u, 0xFFFFFFFFu}));
  EXPECT_EQ(testing_flv::rawVideoTimestamp(output, 0), (std::vector<uint8_t>{0xFF, 0xF0, 0x60, 0xFF}));
}

TEST_F(ConvertedAudioTest, ProportionStaysExactPastThe64BitProduct) {
  // 100 bytes x 3e17 ticks is 3e19, beyond signed 64 bits.
  const int64_t track = 300'000'000'000'000'000;
  FlvBuilder b;
  b.audio(0, kPcm, bytes(100)).audio(40, kPcm, bytes(100)).video(45);
  ParsedFlv out = retime(b, track);
  int64_t drift = track / 2 - 40 * kMs;
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{static_cast<uint32_t>(45 + drift / kMs)}));
}

TEST_F(ConvertedAudioTest, NeverWritesOverItsInput) {
  writeMp3(mp3, 2);
  workedExample().save(input);
  std::vector<uint8_t> before = testing_flv::readFile(input);
  EXPECT_EQ(retimeToConvertedAudio(mp3.c_str(), input.c_str(), input.c_str()), 0);
  std::string sameFileOtherName = dir.file("./in.flv");
  EXPECT_EQ(retimeVideoToTrack(input.c_str(), sameFileOtherName.c_str(), 1000), 0);
  EXPECT_EQ(testing_flv::readFile(input), before);
}

TEST_F(ConvertedAudioTest, FailsOnAnInputThatIsNoFlvWithoutCreatingTheOutput) {
  writeMp3(mp3, 2);
  EXPECT_EQ(retimeToConvertedAudio(mp3.c_str(), dir.file("missing.flv").c_str(), output.c_str()), 0);
  testing_flv::writeFile(input, {'N', 'O', 'T', 'F', 'L', 'V', 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(retimeToConvertedAudio(mp3.c_str(), input.c_str(), output.c_str()), 0);
  EXPECT_FALSE(platform::fileExists(output.c_str()));
}

TEST_F(ConvertedAudioTest, AFailedWriteIsReportedAsFailure) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  workedExample().save(input);
  EXPECT_EQ(retimeVideoToTrack(input.c_str(), "/dev/full", 1000500), 0);
}

}  // namespace
