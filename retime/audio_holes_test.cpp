#include "retime/audio_holes.h"

#include <gtest/gtest.h>

namespace retime {
namespace {

constexpr int64_t kMs = AudioHoles::kTicksPerMs;
constexpr int64_t kFrame = 26 * kMs;  // one MP3 frame, about

// Audio tags every 26 ms and video every 40 ms from `fromMs` to `toMs`, in
// the order a muxer interleaves them; audioStoredAt maps the audio's true
// time to its stamp, and audio whose true time lies in [lostFrom, lostTo)
// is not written. Returns the holes found, in order.
struct Recording {
  int64_t lostFrom = -1, lostTo = -1;
  int64_t videoLostFrom = -1, videoLostTo = -1;
  int64_t jumpAt = -1, jumpBy = 0;  // both streams' stamps step
  int64_t jitterMs = 0;
  bool video = true;
  int64_t audioStartMs = 0;
};

std::vector<int64_t> holesIn(const Recording& r, int64_t toMs = 20000) {
  AudioHoles holes;
  std::vector<int64_t> found;
  int64_t nextVideo = 0;
  uint32_t seed = 7;
  const auto stamp = [&](int64_t t) { return r.jumpAt >= 0 && t >= r.jumpAt ? t + r.jumpBy : t; };
  for (int64_t a = 0; a < toMs; a += 26) {
    while (r.video && nextVideo <= a) {
      if (!(nextVideo >= r.videoLostFrom && nextVideo < r.videoLostTo)) holes.video(static_cast<uint32_t>(stamp(nextVideo)));
      nextVideo += 40;
    }
    if ((a >= r.lostFrom && a < r.lostTo) || a < r.audioStartMs) continue;
    seed = seed * 1664525u + 1013904223u;
    int64_t jitter = r.jitterMs ? static_cast<int64_t>((seed >> 8) % (2 * r.jitterMs + 1)) - r.jitterMs : 0;
    int64_t hole = holes.sounding((stamp(a) + (a > 0 ? jitter : 0)) * kMs, kFrame);
    if (hole > 0) found.push_back(hole / kMs);
  }
  return found;
}

TEST(AudioHoles, JitterAndDriftAreNoHoles) {
  EXPECT_TRUE(holesIn({.jitterMs = 40}).empty());
}

TEST(AudioHoles, LostAudioWhileThePictureGoesOnIsAHoleOfItsStepLessTheAudioBefore) {
  // Audio at 7982 ms is the last before the loss, 13000 the first after it.
  std::vector<int64_t> found = holesIn({.lostFrom = 8000, .lostTo = 13000});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], 13000 - 7982 - 26);
}

TEST(AudioHoles, HalfASecondWithJitterIsStillAHole) {
  std::vector<int64_t> found = holesIn({.lostFrom = 8000, .lostTo = 8500, .jitterMs = 15});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NEAR(static_cast<double>(found[0]), 8502 - 7982 - 26, 30);
}

TEST(AudioHoles, AJumpOfBothStreamsIsNoHole) {
  EXPECT_TRUE(holesIn({.jumpAt = 8000, .jumpBy = 2000}).empty());
}

TEST(AudioHoles, AudioAndPictureLostTogetherIsNoHole) {
  EXPECT_TRUE(holesIn({.lostFrom = 8000, .lostTo = 13000, .videoLostFrom = 8000, .videoLostTo = 13000}).empty());
}

TEST(AudioHoles, WithoutPictureNothingTellsAHoleFromAJump) {
  EXPECT_TRUE(holesIn({.lostFrom = 8000, .lostTo = 13000, .video = false}).empty());
}

TEST(AudioHoles, AudioStartingAfterSecondsOfPictureStartsWithAHole) {
  std::vector<int64_t> found = holesIn({.audioStartMs = 3000});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], 3016);  // the first audio tag at 3016 ms, the picture from 0
  // A late start of a few tens of milliseconds is no hole.
  EXPECT_TRUE(holesIn({.audioStartMs = 50}).empty());
}

TEST(AudioHoles, AudioStartingAfterAPictureWithACompositionOffsetKeepsItsDistance) {
  AudioHoles holes;
  holes.video(0, 80);  // shown at 80 ms: it cannot move to before 0
  holes.video(40, 80);
  EXPECT_EQ(holes.sounding(55 * kMs, kFrame), 55 * kMs);
  AudioHoles plain;
  plain.video(0);
  plain.video(40);
  EXPECT_EQ(plain.sounding(55 * kMs, kFrame), 0);
}

TEST(AudioHoles, AStepAcrossEmptyTagsIsLeftToTheGap) {
  AudioHoles holes;
  for (uint32_t v = 0; v <= 6000; v += 40) holes.video(v);
  EXPECT_EQ(holes.sounding(0, kFrame), 0);
  holes.emptyTag();
  EXPECT_EQ(holes.sounding(6000 * kMs, kFrame), 0);
  EXPECT_EQ(holes.pace(), 40 * kMs);
}

}  // namespace
}  // namespace retime
