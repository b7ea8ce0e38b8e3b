// The end-to-end checks are only as good as their own readers: these hold
// them against files that ffmpeg wrote and against the tools' own verdicts.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

bool haveMediaTools() { return haveTool("ffmpeg") && haveTool("ffprobe") && haveTool("flvmeta"); }

TEST(Run, CapturesOutputsExitCodeCwdAndEnvironment) {
  TempDir dir;
  RunResult r = run({"sh", "-c", "pwd; echo \"$E2E_X\" >&2; exit 3"}, dir.path(), {"E2E_X=seen"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.out, dir.path() + "\n");
  EXPECT_EQ(r.err, "seen\n");
}

TEST(Run, KilledChildGives128PlusSignal) {
  EXPECT_EQ(run({"sh", "-c", "kill -9 $$"}).exitCode, 128 + 9);
}

TEST(TempDir, RemovedWithItsContents) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    writeBytes(dir.file("x"), {1, 2, 3});
    EXPECT_EQ(readBytes(dir.file("x")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(listDir(path), std::vector<std::string>{"x"});
  }
  EXPECT_FALSE(fileExists(path));
}

TEST(Flv, ReadsWhatFfmpegWritesAndWritesItBackByteForByte) {
  if (!haveMediaTools()) GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
  TempDir dir;
  std::string in = makeWithFfmpeg(dir.file("in.flv"),
      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=22050 -t 1 "
      "-c:v flv -c:a libmp3lame -ac 1");
  Flv f = readFlv(in);
  ASSERT_TRUE(f.ok) << f.problem;
  EXPECT_EQ(f.flags, 0x05);
  ASSERT_FALSE(f.tags.empty());
  EXPECT_EQ(f.tags[0].type, 18);
  EXPECT_EQ(f.tags[0].offset, 13);
  auto audio = tagsOfType(f, 8);
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(soundFormat(*audio[0]), 2);
  EXPECT_EQ(videoCodec(*tagsOfType(f, 9)[0]), 2);
  writeFlv(dir.file("copy.flv"), f);
  EXPECT_EQ(readBytes(dir.file("copy.flv")), readBytes(in));
}

TEST(Flv, TruncatedFileIsNotOk) {
  TempDir dir;
  Flv f;
  f.tags.push_back({9, 0, {0x22, 0, 0, 0}, 0});
  writeFlv(dir.file("a.flv"), f);
  auto bytes = readBytes(dir.file("a.flv"));
  bytes.pop_back();
  writeBytes(dir.file("a.flv"), bytes);
  EXPECT_FALSE(readFlv(dir.file("a.flv")).ok);
}

// ffmpeg's MP3 files, without ID3 or Xing frames, are nothing but frames: the
// walker's frame sizes must tile them exactly, for every MPEG version.
TEST(Mp3, FrameSizesTileFfmpegFilesForAllVersions) {
  if (!haveMediaTools()) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  struct Case { int rate; int samples; const char* channels; };
  for (Case c : {Case{44100, 1152, "2"}, Case{22050, 576, "1"}, Case{11025, 576, "2"}, Case{8000, 576, "1"}}) {
    std::string mp3 = makeWithFfmpeg(dir.file("a.mp3"),
        "-f lavfi -i sine=sample_rate=" + std::to_string(c.rate) + " -t 1 -ac " + c.channels +
        " -c:a libmp3lame -write_xing 0 -id3v2_version 0 -f mp3");
    auto bytes = readBytes(mp3);
    auto frames = mp3Frames(bytes);
    ASSERT_GT(frames.size(), 5u) << c.rate;
    size_t total = 0;
    for (const auto& fr : frames) {
      auto info = mp3FrameAt(fr.data(), fr.size());
      ASSERT_TRUE(info);
      EXPECT_EQ(info->samples, c.samples);
      EXPECT_EQ(info->sampleRate, c.rate);
      total += fr.size();
    }
    EXPECT_EQ(total, bytes.size()) << c.rate;
  }
}

TEST(Mp3, PayloadTicksTruncatePerFrameAndCountAnOverrunningFrameWhole) {
  // MPEG-2 layer III, 8 kb/s, 22050 Hz: 72 * 8000 / 22050 = 26 bytes.
  std::vector<uint8_t> frame(26, 0);
  frame[0] = 0xFF, frame[1] = 0xF3, frame[2] = 0x10, frame[3] = 0xC4;
  ASSERT_EQ(mp3FrameAt(frame.data(), frame.size())->bytes, 26);
  std::vector<uint8_t> payload = frame;
#if defined(__GNUC__) && !defined(__clang__)
// g++ 12 at -O3 sees the inlined copy of vector::insert read and write past
// the vector it has just grown (GCC bug 107852).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
  payload.insert(payload.end(), frame.begin(), frame.end());
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  EXPECT_EQ(mp3PayloadTicks(payload), 2 * (576LL * 10000000 / 22050));
  payload.resize(30);  // the second frame runs past the end: counted whole
  EXPECT_EQ(mp3PayloadTicks(payload), 2 * 261224);
  payload.resize(26);
  payload.insert(payload.end(), {0x00, 0xFF, 0xF3, 0x10, 0xC4});  // junk stops the walk
  EXPECT_EQ(mp3PayloadTicks(payload), 261224);
  EXPECT_EQ(mp3PayloadTicks({}), 0);
}

TEST(Metadata, ReadsFfmpegOnMetaDataWithKeyframeIndex) {
  if (!haveMediaTools()) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  std::string in = makeWithFfmpeg(dir.file("in.flv"),
      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=44100 -t 2 "
      "-c:v flv -g 5 -c:a libmp3lame -flvflags add_keyframe_index");
  Flv f = readFlv(in);
  ASSERT_TRUE(f.ok) << f.problem;
  Metadata m = parseOnMetaData(f.tags[0]);
  ASSERT_TRUE(m.ok);
  EXPECT_NEAR(m.numbers["duration"], 2.0, 0.1);
  EXPECT_EQ(m.numbers["audiocodecid"], 2);
  EXPECT_EQ(m.numbers["videocodecid"], 2);
  EXPECT_EQ(m.numbers["stereo"], 0);  // the sine source is mono
  EXPECT_EQ(m.strings["encoder"].substr(0, 4), "Lavf");
  ASSERT_GE(m.keyframeTimes.size(), 4u);
  ASSERT_EQ(m.keyframeTimes.size(), m.keyframePositions.size());
  for (double pos : m.keyframePositions) {
    bool found = false;
    for (const Tag& t : f.tags) found |= t.type == 9 && t.offset == static_cast<int64_t>(pos);
    EXPECT_TRUE(found) << pos;
  }
}

TEST(Tools, FlvmetaAndFfprobeVerdicts) {
  if (!haveMediaTools()) GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
  TempDir dir;
  std::string in = makeWithFfmpeg(dir.file("in.flv"),
      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=22050 -t 1 "
      "-c:v flv -c:a libmp3lame");
  FlvmetaCheck good = flvmetaCheck(in);
  EXPECT_EQ(good.errors, 0) << good.json;
  EXPECT_GE(good.warnings, 0);
  EXPECT_TRUE(ffprobeReads(in));
  EXPECT_NE(ffprobeJson(in).find("\"codec_name\": \"mp3\""), std::string::npos);

  Flv f = readFlv(in);
  auto audio = tagsOfType(f, 8);
  const_cast<Tag*>(audio[5])->timestamp = 0;  // audio going back in time
  writeFlv(dir.file("back.flv"), f);
  FlvmetaCheck back = flvmetaCheck(dir.file("back.flv"));
  EXPECT_GE(back.errors, 1);
  ASSERT_FALSE(back.messages.empty()) << back.json;
  EXPECT_EQ(back.messages[0].level, "error");
  EXPECT_EQ(back.messages[0].text.rfind("audio tag timestamps are decreasing", 0), 0u) << back.json;
  writeBytes(dir.file("junk.flv"), {'n', 'o', 't'});
  EXPECT_FALSE(ffprobeReads(dir.file("junk.flv")));
}

}  // namespace
}  // namespace e2e
