#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "retime/converted_audio.h"
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

  Flv retime(const FlvBuilder& b, int64_t trackDuration) {
    b.save(input);
    EXPECT_EQ(retimeVideoToTrack(input.c_str(), output.c_str(), trackDuration), 1);
    return readFlv(output);
  }
};

TEST_F(ConvertedAudioTest, WorkedExampleKeepsTheGapAndTruncatesTheDrift) {
  // 100.05 ms: no MP3 file has this length, so it is given directly.
  Flv out = retime(workedExample(), 1000500);
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
  EXPECT_EQ(videoTimes(readFlv(output)), (std::vector<uint32_t>{0, 26, 72, 98, 124}));

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
  Flv out = retime(b, 999 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 10, 30}));
}

TEST_F(ConvertedAudioTest, WithoutAudioVideoKeepsItsTimesAndScriptDataIsDropped) {
  FlvBuilder b(0x01);
  b.script(0, {0x02, 0, 6, 'M', 'A', 'R', 'K', 'E', 'R'}).video(0).video(33).video(66);
  Flv out = retime(b, 12345);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 33, 66}));
  EXPECT_FALSE(testing_flv::containsMarker(out, "MARKER"));
  EXPECT_EQ(out.flags, 0x01);
}

TEST_F(ConvertedAudioTest, AGapOpenAtTheEndTakesNothingFromTheTrack) {
  // The payload spans the whole 100 ms track; the gap opened at 40 ms moves
  // the video after it by 100 - 40 = +60 ms.
  FlvBuilder b;
  b.audio(0, kPcm, bytes(100)).video(10).audio(40, kPcm, {}).video(50);
  b.audio(60, kPcm, {}).video(70);
  Flv out = retime(b, 100 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{10, 110, 130}));
}

TEST_F(ConvertedAudioTest, VideoBeforeTheFirstAudioMovesWithIt) {
  FlvBuilder b;
  b.video(100).video(140).audio(120, kPcm, bytes(10)).video(180);
  Flv out = retime(b, 500 * kMs);
  // The audio tag at 120 ms starts the track at 0: drift -120 ms, for the
  // video before it too; 100 - 120 is held at 0.
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 20, 60}));
}

TEST_F(ConvertedAudioTest, VideoMovedBelowZeroIsStampedZero) {
  FlvBuilder b;
  b.audio(5000, kPcm, {}).video(1000).video(4999);
  Flv out = retime(b, 100 * kMs);
  EXPECT_EQ(videoTimes(out), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(testing_flv::rawVideoTimestamp(output, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
}

// A gap closed by a tag stored before the one that opened it has no length,
// as in the converter, which writes no silence for it: the audio after it
// follows the first payload at 100 ms.
TEST_F(ConvertedAudioTest, AGapClosedBeforeItOpenedHasNoLength) {
  FlvBuilder b;
  b.audio(0, kPcm, bytes(100)).audio(100, kPcm, {}).audio(60, kPcm, bytes(100)).video(70);
  EXPECT_EQ(videoTimes(retime(b, 200 * kMs)), (std::vector<uint32_t>{110}));
}

// One second at 11.025 kHz, then one at 22.05 kHz (8-bit mono): the second
// starts half-way through the 2 s track, not a third of the way.
TEST_F(ConvertedAudioTest, EachTagWeighsByItsOwnBytesPerSecond) {
  FlvBuilder b;
  b.audio(0, 0x04, bytes(11025)).audio(1000, 0x08, bytes(22050)).video(1000).video(1500);
  EXPECT_EQ(videoTimes(retime(b, 2000 * kMs)), (std::vector<uint32_t>{1000, 1500}));
}

TEST_F(ConvertedAudioTest, ProportionStaysExactPastThe64BitProduct) {
  // 100 bytes x 3e17 ticks is 3e19, beyond signed 64 bits.
  const int64_t track = 300'000'000'000'000'000;
  FlvBuilder b;
  b.audio(0, kPcm, bytes(100)).audio(40, kPcm, bytes(100)).video(45);
  Flv out = retime(b, track);
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

// The re-timing rules written out a second time, over the tags as the test
// parser reads them, to check outputs made from inputs nobody here wrote.
std::vector<uint32_t> expectedVideoTimes(const Flv& in, int64_t trackDuration) {
  int64_t totalBytes = 0, content = trackDuration, gapStart = 0, firstAudio = -1;
  bool inGap = false;
  for (const testing_flv::Tag& t : in.tags) {
    if (t.type != 8) continue;
    int64_t stored = int64_t{t.timestamp} * kMs, size = testing_flv::audioPayloadSize(t);
    if (firstAudio < 0) firstAudio = stored;
    if (size == 0 && !inGap) gapStart = stored, inGap = true;
    if (size == 0) continue;
    if (inGap) content -= stored - gapStart, inGap = false;
    totalBytes += size;
  }
  // Video before the first audio tag moves with it; none steps back or
  // below 0.
  int64_t bytesSoFar = 0, gapTotal = 0, clock = 0, drift = firstAudio < 0 ? 0 : -firstAudio, last = 0;
  inGap = false;
  auto position = [&](int64_t b) { return b * content / totalBytes + gapTotal; };
  std::vector<uint32_t> times;
  for (const testing_flv::Tag& t : in.tags) {
    int64_t stored = int64_t{t.timestamp} * kMs, size = testing_flv::audioPayloadSize(t);
    if (t.type == 9) {
      last = std::max(last, int64_t{t.timestamp} + drift / kMs);
      times.push_back(static_cast<uint32_t>(last));
    }
    if (t.type != 8) continue;
    if (size == 0) {
      if (!inGap) gapStart = stored, drift = clock - stored, inGap = true;
      continue;
    }
    if (inGap) {
      gapTotal += stored - gapStart;
      drift = position(bytesSoFar) - stored;
      inGap = false;
    } else {
      drift = clock - stored;
    }
    bytesSoFar += size;
    clock = position(bytesSoFar);
  }
  return times;
}

struct FfmpegPcmCase {
  const char* name;
  int rate;
  int channels;
  const char* audioOptions;
  int gapFrom, gapLength;  // audio tags emptied in the middle
  int openGapTail;         // audio tags emptied at the end
};

const FfmpegPcmCase kPcmCases[] = {
    {"u8-11k-mono", 11025, 1, "-c:a pcm_u8 -ac 1", 10, 5, 0},
    {"s16-22k-stereo", 22050, 2, "-c:a pcm_s16le -ac 2", 20, 12, 9},
    {"u8-44k-stereo", 44100, 2, "-c:a pcm_u8 -ac 2", 0, 0, 0},
    {"u8-5k-mono-leading-gap", 5512, 1, "-c:a pcm_u8 -ac 1 -ar 5512", 0, 4, 0},
};

TEST(ConvertedAudioFfmpeg, VideoFollowsTheRulesOnFfmpegInputs) {
  if (!testing_flv::hasTool("ffmpeg") || !testing_flv::hasTool("ffprobe"))
    GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  for (const FfmpegPcmCase& c : kPcmCases) {
    SCOPED_TRACE(c.name);
    std::string made = dir.file(std::string(c.name) + "-made.flv");
    std::string input = dir.file(std::string(c.name) + ".flv");
    std::string mp3 = dir.file(std::string(c.name) + ".mp3");
    std::string output = dir.file(std::string(c.name) + "-out.flv");
    ASSERT_TRUE(testing_flv::makeFfmpegFlv(made, c.rate, c.audioOptions));
    // The converted track, encoded from the complete audio.
    ASSERT_TRUE(testing_flv::runQuietly("ffmpeg -v error -y -i '" + made +
                                        "' -vn -c:a libmp3lame -b:a 64k '" + mp3 + "'"));
    int64_t samples = testing_flv::ffmpegDecodedSamples(mp3, c.channels);
    ASSERT_GT(samples, 0);
    // lame has no 5512 Hz: the track may come out at another rate.
    int64_t mp3Rate = std::stoll(testing_flv::captureOutput(
        "ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 '" + mp3 + "'"));
    int64_t trackDuration = samples * 10000000 / mp3Rate;

    Flv in = readFlv(made);
    ASSERT_TRUE(in.ok);
    int audioTags = testing_flv::countTags(in, 8);
    ASSERT_GT(audioTags, c.gapFrom + c.gapLength + c.openGapTail);
    for (testing_flv::Tag& t : in.tags) {
      if (t.type == 8 && !t.data.empty()) t.data[0] &= 0x0F;  // little-endian PCM as format 0
    }
    testing_flv::emptyAudioRun(in, c.gapFrom, c.gapLength);
    testing_flv::emptyAudioRun(in, audioTags - c.openGapTail, c.openGapTail);
    testing_flv::saveTags(in, input);

    ASSERT_EQ(retimeToConvertedAudio(mp3.c_str(), input.c_str(), output.c_str()), 1);
    Flv out = readFlv(output);
    ASSERT_TRUE(out.ok);
    std::vector<uint32_t> expected = expectedVideoTimes(in, trackDuration);
    EXPECT_EQ(expected.size(), 45u);
    EXPECT_EQ(videoTimes(out), expected);
    EXPECT_EQ(testing_flv::countTags(out, 8), 0);
    EXPECT_EQ(testing_flv::captureOutput("ffprobe -v error -show_entries stream=codec_type "
                                         "-of csv=p=0 '" + output + "'"),
              "video\n");
    if (testing_flv::hasTool("flvmeta")) {
      EXPECT_TRUE(testing_flv::runQuietly("flvmeta --check '" + output + "'"));
    }
  }
}

}  // namespace
