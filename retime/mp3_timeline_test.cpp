#include <gtest/gtest.h>

#include <filesystem>

#include <fstream>
#include <vector>

#include "retime/retime.h"
#include "platform/testing/flv_builder.h"

namespace {

using testing_flv::FlvBuilder;
using testing_flv::mp3Frame;
using testing_flv::readFlv;
using testing_flv::Tag;
using testing_flv::TempDir;

constexpr uint8_t kMp3Flags = 0x2A;  // MP3, 22 kHz, 16-bit, mono

// MPEG-2 layer III, 22050 Hz, 32 kb/s: 576 samples, 26.1224 ms.
std::vector<uint8_t> frame22k() { return mp3Frame(2, 4, 0); }

// The audio and video tags of a repaired file, without the metadata tag.
std::vector<Tag> mediaTags(const std::string& path) {
  testing_flv::Flv flv = readFlv(path);
  EXPECT_TRUE(flv.ok);
  std::vector<Tag> tags;
  for (Tag& t : flv.tags)
    if (t.type != 18) tags.push_back(std::move(t));
  return tags;
}

std::vector<uint32_t> timestamps(const std::vector<Tag>& tags) {
  std::vector<uint32_t> out;
  for (const Tag& t : tags) out.push_back(t.timestamp);
  return out;
}

TEST(MeasureMp3Duration, TruncatesEachFrameOnItsOwn) {
  std::vector<uint8_t> payload = frame22k();
  std::vector<uint8_t> two = payload;
  two.insert(two.end(), payload.begin(), payload.end());
  two.resize(two.size() + 64, 0);  // padding: no frame
  EXPECT_EQ(measureMp3Duration(payload.data(), static_cast<int32_t>(payload.size())), 261224);
  EXPECT_EQ(measureMp3Duration(two.data(), static_cast<int32_t>(two.size())), 2 * 261224);
}

TEST(MeasureMp3Duration, EmptyAndGarbagePayloadsMeasureZero) {
  std::vector<uint8_t> garbage(100, 0x55);
  garbage.resize(garbage.size() + 8, 0);
  EXPECT_EQ(measureMp3Duration(garbage.data(), 0), 0);
  EXPECT_EQ(measureMp3Duration(garbage.data(), 100), 0);
}

TEST(MeasureMp3Duration, FrameRunningPastThePayloadCountsWhole) {
  std::vector<uint8_t> frame = frame22k();
  EXPECT_EQ(measureMp3Duration(frame.data(), 10), 261224);
}

TEST(RebuildMp3Timeline, WorkedExample) {
  TempDir dir;
  FlvBuilder()
      .video(0)                              // before any audio: kept
      .audio(5, kMp3Flags, frame22k())
      .audio(40, kMp3Flags, frame22k())
      .video(45)                             // drift 26.1224 - 40 = -13.8776 ms
      .audio(70, kMp3Flags, frame22k())
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  std::vector<Tag> tags = mediaTags(dir.file("out.flv"));
  EXPECT_EQ(timestamps(tags), (std::vector<uint32_t>{0, 0, 26, 32, 52}));
}

TEST(RebuildMp3Timeline, KeepsPayloadsAndDropsScriptTags) {
  TempDir dir;
  std::vector<uint8_t> frame = frame22k();
  FlvBuilder()
      .script(0, {2, 0, 10, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a', 5})
      .audio(100, kMp3Flags, frame)
      .video(120, 0x12, {1, 2, 3})
      .script(130, {2, 0, 3, 'c', 'u', 'e', 5})
      .audio(140, kMp3Flags, frame)
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  std::vector<Tag> tags = mediaTags(dir.file("out.flv"));
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].data.size(), frame.size() + 1);
  EXPECT_EQ(tags[1].data, (std::vector<uint8_t>{0x12, 1, 2, 3}));
  EXPECT_EQ(tags[1].timestamp, 20u);  // 120 + trunc(-100 ms)
  EXPECT_EQ(timestamps(tags), (std::vector<uint32_t>{0, 20, 26}));
}

TEST(RebuildMp3Timeline, DriftTruncatesTowardZero) {
  TempDir dir;
  // Two frames of 26.1224 ms, stored 1.5 ms late: drift 52.2448 - 53.7448.
  std::vector<uint8_t> frame = frame22k();
  FlvBuilder()
      .audio(0, kMp3Flags, frame)
      .audio(27, kMp3Flags, frame)   // clock 26.1224: drift -0.8776 ms -> 0
      .video(30)
      .audio(54, kMp3Flags, frame)   // clock 52.2448: drift -1.7552 ms -> -1
      .video(60)
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_EQ(timestamps(mediaTags(dir.file("out.flv"))),
            (std::vector<uint32_t>{0, 26, 30, 52, 59}));
}

// Video before the first audio tag moves with it (drift -1000 ms), held at 0
// rather than moved below it; a stored time with the top bit set is the
// format's negative value.
TEST(RebuildMp3Timeline, VideoBeforeTheFirstAudioMovesWithItAndStopsAtZero) {
  TempDir dir;
  FlvBuilder()
      .video(0xFFFFFFF6)  // -10 ms
      .video(10)
      .video(1020)
      .audio(1000, kMp3Flags, frame22k())
      .video(1030)
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  std::vector<Tag> tags = mediaTags(dir.file("out.flv"));
  EXPECT_EQ(timestamps(tags), (std::vector<uint32_t>{0, 0, 20, 0, 30}));
}

// Audio stored early pulls the video after it back by 3 ms: it takes the
// time of the video before it instead.
TEST(RebuildMp3Timeline, VideoNeverStepsBack) {
  TempDir dir;
  FlvBuilder()
      .audio(0, kMp3Flags, frame22k())
      .video(25)
      .audio(30, kMp3Flags, frame22k())  // drift 26.1224 - 30: -3 ms
      .video(27)                         // 24: held at 25
      .video(40)                         // 37
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_EQ(timestamps(mediaTags(dir.file("out.flv"))), (std::vector<uint32_t>{0, 25, 26, 25, 37}));
}

// The whole stream jumps 5 s forward between the audio tags at 26 and
// 5052 ms: the video stored at 5040 ms, read before the audio tag after the
// jump, was stamped after it and takes that tag's drift (-4999.78 ms), not
// the one before the jump; the video at 30 ms keeps the old drift.
TEST(RebuildMp3Timeline, VideoAfterAClockJumpTakesTheDriftAfterIt) {
  TempDir dir;
  FlvBuilder()
      .audio(0, kMp3Flags, frame22k())
      .video(10)
      .audio(26, kMp3Flags, frame22k())
      .video(30)
      .video(5040)
      .audio(5052, kMp3Flags, frame22k())
      .video(5060)
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_EQ(timestamps(mediaTags(dir.file("out.flv"))), (std::vector<uint32_t>{0, 10, 26, 30, 41, 52, 61}));
}

TEST(RebuildMp3Timeline, EmptyAndUnparsableAudioAddNothing) {
  TempDir dir;
  FlvBuilder()
      .audio(0, kMp3Flags, {})
      .audio(10, kMp3Flags, {1, 2, 3, 4})
      .audio(20, kMp3Flags, frame22k())
      .audio(30, kMp3Flags, {})
      .save(dir.file("in.flv"));
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_EQ(timestamps(mediaTags(dir.file("out.flv"))), (std::vector<uint32_t>{0, 0, 0, 26}));
}

TEST(RebuildMp3Timeline, FailsWithoutTouchingAnything) {
  TempDir dir;
  EXPECT_EQ(rebuildMp3Timeline(dir.file("missing.flv").c_str(), dir.file("out").c_str()), 0);
  testing_flv::writeFile(dir.file("bad.flv"), {'N', 'O', 'T', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
  EXPECT_EQ(rebuildMp3Timeline(dir.file("bad.flv").c_str(), dir.file("out").c_str()), 0);
  FlvBuilder().audio(0, kMp3Flags, frame22k()).save(dir.file("in.flv"));
  EXPECT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("no/such/dir/out").c_str()), 0);
  EXPECT_FALSE(std::ifstream(dir.file("out.flv")).good());
}

TEST(RebuildMp3Timeline, RefusesToOverwriteItsInput) {
  TempDir dir;
  FlvBuilder().audio(0, kMp3Flags, frame22k()).video(5).save(dir.file("x.flv"));
  std::vector<uint8_t> before = testing_flv::readFile(dir.file("x.flv"));
  EXPECT_EQ(rebuildMp3Timeline(dir.file("x.flv").c_str(), dir.file("x").c_str()), 0);
  EXPECT_EQ(rebuildMp3Timeline(dir.file("x.flv").c_str(), (dir.path() + "/./x").c_str()), 0);
  std::filesystem::create_hard_link(dir.file("x.flv"), dir.file("hard.flv"));
  EXPECT_EQ(rebuildMp3Timeline(dir.file("x.flv").c_str(), dir.file("hard").c_str()), 0);
  EXPECT_EQ(testing_flv::readFile(dir.file("x.flv")), before);
}

TEST(RebuildMp3Timeline, RefusesAPrefixTooLongForThePathBuffer) {
  TempDir dir;
  FlvBuilder().audio(0, kMp3Flags, frame22k()).save(dir.file("in.flv"));
  std::string prefix = dir.path() + "/" + std::string(300, 'a');
  EXPECT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), prefix.c_str()), 0);
}

}  // namespace
