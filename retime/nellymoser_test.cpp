#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "retime/retime.h"
#include "platform/testing/ffmpeg_inputs.h"
#include "platform/testing/flv_builder.h"
#include "platform/testing/video_times.h"

namespace {

using testing_flv::FlvBuilder;
using testing_flv::Flv;
using testing_flv::readFlv;
using testing_flv::TempDir;
using testing_flv::videoTimes;

constexpr uint8_t kNelly8k = 0x52;      // format 5; its rate bits do not count
constexpr uint8_t kNelly22k = 0x6A;     // format 6, rate index 2
constexpr int64_t kMs = 10000;

std::vector<uint8_t> bytes(size_t n) { return std::vector<uint8_t>(n, 0x11); }

TagRecord audioTag(int format, int rateIndex, int32_t payloadSize) {
  TagRecord tag{};
  tag.tagType = 8;
  tag.soundFormat = format;
  tag.soundRate = rateIndex;
  tag.payloadSize = payloadSize;
  return tag;
}

TEST(NellymoserDuration, OneBlockAtEveryRate) {
  for (int index = 0; index < 4; ++index)
    EXPECT_EQ(nellymoserTagDuration(audioTag(5, index, 64)), 320000) << index;  // 32 ms
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 0, 64)), 464441);  // 5512 Hz, not 5513
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 1, 64)), 232199);
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 2, 64)), 116099);
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 3, 64)), 58049);
}

TEST(NellymoserDuration, CountsWholeBlocksAndTruncatesEachTag) {
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 2, 128)), 232199);
  EXPECT_EQ(2 * nellymoserTagDuration(audioTag(6, 2, 64)), 232198);
  EXPECT_EQ(nellymoserTagDuration(audioTag(5, 0, 100)), 320000);
  EXPECT_EQ(nellymoserTagDuration(audioTag(5, 0, 63)), 0);
  EXPECT_EQ(nellymoserTagDuration(audioTag(5, 0, 1)), 0);
  // 10^6 blocks: a product of 2.56e15, far past 32 bits.
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 3, 64 * 1000000)), 58049886621);
}

TEST(NellymoserDuration, SampleRateByFormatAndIndex) {
  EXPECT_EQ(nellymoserSampleRate(audioTag(5, 3, 64)), 8000);
  EXPECT_EQ(nellymoserSampleRate(audioTag(6, 0, 64)), 5512);
  EXPECT_EQ(nellymoserSampleRate(audioTag(4, 3, 64)), 16000);  // Nellymoser 16 kHz mono
  EXPECT_EQ(nellymoserTagDuration(audioTag(4, 0, 64)), 160000);
  EXPECT_EQ(nellymoserSampleRate(audioTag(6, 4, 64)), -1);
  EXPECT_EQ(nellymoserSampleRate(audioTag(6, -1, 64)), -1);
  // A rate of -1 gives the block time negated.
  EXPECT_EQ(nellymoserTagDuration(audioTag(6, 7, 64)), -2560000000);
}

struct NellymoserTest : ::testing::Test {
  TempDir dir;
  std::string input = dir.file("in.flv");
  std::string output = dir.file("out.flv");
  std::string mp3 = dir.file("never-read.mp3");

  Flv retime(const FlvBuilder& b) {
    b.save(input);
    EXPECT_EQ(retimeNellymoserVideo(mp3.c_str(), input.c_str(), output.c_str()), 1);
    return readFlv(output);
  }
};

TEST_F(NellymoserTest, WorkedExample) {
  FlvBuilder b;
  b.video(0).audio(0, kNelly8k, bytes(128));
  b.video(30).audio(50, kNelly8k, bytes(64));
  b.video(60).audio(100, kNelly8k, {});
  b.video(110).audio(130, kNelly8k, {}).audio(200, kNelly8k, bytes(100));
  b.video(210).audio(220, kNelly22k, bytes(64));
  b.video(230).audio(240, kNelly22k, bytes(64));
  b.video(250);
  Flv out = retime(b);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 30, 74, 106, 206, 238, 250}));
  EXPECT_EQ(testing_flv::countTags(out, 8), 0);
  EXPECT_FALSE(platform::fileExists(mp3.c_str()));
}

TEST_F(NellymoserTest, ShortPayloadsCloseAGapButAddNoTime) {
  // The 10-byte tag at 90 ms closes the gap opened at 40 ms (drift -8 ms
  // from there on) and adds nothing, so the tag at 120 ms sees the clock
  // at 32 + 50 = 82 ms: drift -38 ms.
  FlvBuilder b;
  b.audio(0, kNelly8k, bytes(64)).audio(40, kNelly8k, {}).video(45);
  b.audio(90, kNelly8k, bytes(10)).video(95).audio(120, kNelly8k, bytes(64)).video(125);
  Flv out = retime(b);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{37, 87, 87}));
}

TEST_F(NellymoserTest, AllEmptyAudioMovesVideoBackByTheFirstGap) {
  FlvBuilder b;
  b.video(3).audio(20, kNelly8k, {}).video(25).audio(40, kNelly8k, {}).video(45);
  EXPECT_EQ(videoTimes(retime(b)), (std::vector<uint32_t>{0, 5, 25}));
}

TEST_F(NellymoserTest, WithoutAudioVideoKeepsItsTimesAndScriptDataIsDropped) {
  FlvBuilder b(0x01);
  b.script(0, {0x02, 0, 6, 'M', 'A', 'R', 'K', 'E', 'R'}).video(0).video(40).video(80);
  Flv out = retime(b);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 40, 80}));
  EXPECT_FALSE(testing_flv::containsMarker(out, "MARKER"));
}

TEST_F(NellymoserTest, VideoMovedBelowZeroIsStampedZero) {
  FlvBuilder b;
  b.audio(300, kNelly8k, {}).video(100);
  Flv out = retime(b);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0}));
  EXPECT_EQ(testing_flv::rawVideoTimestamp(output, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
}

// The gap opened at 100 ms and closed at 60 ms has no length: the audio
// after it follows the first block at 32 ms (drift 32 - 60 = -28 ms).
TEST_F(NellymoserTest, AGapClosedBeforeItOpenedHasNoLength) {
  FlvBuilder b;
  b.audio(0, kNelly8k, bytes(64)).audio(100, kNelly8k, {}).audio(60, kNelly8k, bytes(64)).video(70);
  EXPECT_EQ(videoTimes(retime(b)), (std::vector<uint32_t>{42}));
}

TEST_F(NellymoserTest, RefusesToWriteOverItsInput) {
  FlvBuilder b;
  b.audio(0, kNelly8k, bytes(64)).video(10);
  b.save(input);
  std::vector<uint8_t> before = testing_flv::readFile(input);
  EXPECT_EQ(retimeNellymoserVideo(mp3.c_str(), input.c_str(), input.c_str()), 0);
  EXPECT_EQ(testing_flv::readFile(input), before);
}

TEST_F(NellymoserTest, FailsWithoutAReadableInputAndCreatesNothing) {
  EXPECT_EQ(retimeNellymoserVideo(mp3.c_str(), dir.file("missing.flv").c_str(), output.c_str()), 0);
  testing_flv::writeFile(input, {'F', 'L'});
  EXPECT_EQ(retimeNellymoserVideo(mp3.c_str(), input.c_str(), output.c_str()), 0);
  EXPECT_FALSE(platform::fileExists(output.c_str()));
}

TEST_F(NellymoserTest, AFailedWriteIsReportedAsFailure) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  FlvBuilder b;
  b.audio(0, kNelly8k, bytes(64)).video(10);
  b.save(input);
  EXPECT_EQ(retimeNellymoserVideo(mp3.c_str(), input.c_str(), "/dev/full"), 0);
}

// The re-timing rules written out a second time, over the tags as the test
// parser reads them, to check outputs made from inputs nobody here wrote.
std::vector<uint32_t> expectedVideoTimes(const Flv& in) {
  const int64_t rates[4] = {5512, 11025, 22050, 44100};
  int64_t content = 0, gapTotal = 0, clock = 0, gapStart = 0, drift = 0;
  bool inGap = false;
  std::vector<uint32_t> times;
  for (const testing_flv::Tag& t : in.tags) {
    int64_t stored = int64_t{t.timestamp} * kMs, size = testing_flv::audioPayloadSize(t);
    if (t.type == 9) times.push_back(t.timestamp + static_cast<uint32_t>(drift / kMs));
    if (t.type != 8) continue;
    if (size == 0) {
      if (!inGap) gapStart = stored, drift = clock - stored, inGap = true;
      continue;
    }
    int64_t rate = (t.data[0] >> 4) == 5 ? 8000 : rates[(t.data[0] >> 2) & 3];
    if (inGap) {
      gapTotal += stored - gapStart;
      drift = content + gapTotal - stored;
      inGap = false;
    } else {
      drift = clock - stored;
    }
    content += size / 64 * 256 * 10000000 / rate;
    clock = content + gapTotal;
  }
  return times;
}

struct FfmpegNellymoserCase {
  int rate;
  uint8_t format;
  int gapFrom, gapLength, openGapTail;
};

const FfmpegNellymoserCase kNellymoserCases[] = {
    {8000, 5, 10, 8, 0},
    {11025, 6, 30, 20, 5},
    {22050, 6, 0, 15, 0},
    {44100, 6, 100, 60, 40},
};

TEST(NellymoserFfmpeg, VideoFollowsTheRulesOnFfmpegInputs) {
  if (!testing_flv::hasTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  for (const FfmpegNellymoserCase& c : kNellymoserCases) {
    SCOPED_TRACE(c.rate);
    std::string made = dir.file("made.flv");
    std::string input = dir.file("in.flv");
    std::string output = dir.file("out.flv");
    ASSERT_TRUE(testing_flv::makeFfmpegFlv(made, c.rate, "-c:a nellymoser -ac 1"));
    Flv in = readFlv(made);
    ASSERT_TRUE(in.ok);
    int audioTags = testing_flv::countTags(in, 8);
    ASSERT_GT(audioTags, c.gapFrom + c.gapLength + c.openGapTail);
    for (const testing_flv::Tag& t : in.tags) {
      if (t.type == 8) {
        ASSERT_EQ(t.data[0] >> 4, c.format);
      }
    }
    testing_flv::emptyAudioRun(in, c.gapFrom, c.gapLength);
    testing_flv::emptyAudioRun(in, audioTags - c.openGapTail, c.openGapTail);
    testing_flv::saveTags(in, input);

    ASSERT_EQ(retimeNellymoserVideo("unused.mp3", input.c_str(), output.c_str()), 1);
    Flv out = readFlv(output);
    ASSERT_TRUE(out.ok);
    std::vector<uint32_t> expected = expectedVideoTimes(in);
    EXPECT_EQ(expected.size(), 45u);
    EXPECT_EQ(videoTimes(out), expected);
    EXPECT_EQ(testing_flv::countTags(out, 8), 0);
    if (testing_flv::hasTool("flvmeta")) {
      EXPECT_TRUE(testing_flv::runQuietly("flvmeta --check '" + output + "'"));
    }
  }
}

}  // namespace
