#include "tonecast/timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace tonecast {
namespace {

// Keeps what the timeline writes.
class CaptureSink : public SampleSink {
 public:
  bool begin(int32_t rate, int channels) override {
    ++begins;
    shape = {rate, channels};
    return acceptBegin;
  }
  bool write(const float* const* planes, size_t frames) override {
    written += frames;
    if (!keep) return acceptWrite;
    for (int c = 0; c < shape.channels; ++c) {
      samples[c].insert(samples[c].end(), planes[c], planes[c] + frames);
    }
    return acceptWrite;
  }
  size_t frames() const { return written; }

  int begins = 0;
  StreamShape shape;
  std::vector<float> samples[2];
  bool acceptBegin = true;
  bool acceptWrite = true;
  bool keep = true;  // false: only count, for hours of silence
  size_t written = 0;
};

// Flags-byte fields of an FLV audio tag.
constexpr int kPcm = 0, kPcmLittleEndian = 3, kNelly8k = 5, kNelly = 6;
constexpr int k5k = 0, k11k = 1, k22k = 2, k44k = 3;

struct TagMaker {
  std::vector<std::vector<uint8_t>> payloads;  // kept alive for the tags

  AudioTag pcm8(uint32_t ms, int rate, std::vector<uint8_t> bytes, bool stereo = false) {
    return make(ms, kPcm, rate, 0, stereo, std::move(bytes));
  }
  // 16-bit samples given as values, stored little-endian.
  AudioTag pcm16(uint32_t ms, int rate, const std::vector<int16_t>& values, bool stereo = false,
                 int format = kPcm) {
    std::vector<uint8_t> bytes;
    for (int16_t v : values) {
      bytes.push_back(static_cast<uint8_t>(v & 0xFF));
      bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    return make(ms, format, rate, 1, stereo, std::move(bytes));
  }
  // n frames of 8-bit mono silence.
  AudioTag pcmFrames(uint32_t ms, int rate, size_t n) {
    return pcm8(ms, rate, std::vector<uint8_t>(n, 128));
  }
  AudioTag empty(uint32_t ms) { return make(ms, kPcm, k44k, 1, false, {}); }
  AudioTag make(uint32_t ms, int format, int rate, int size, bool stereo,
                std::vector<uint8_t> bytes) {
    payloads.push_back(std::move(bytes));
    AudioTag tag;
    tag.storedMs = ms;
    tag.soundFormat = format;
    tag.soundRate = rate;
    tag.soundSize = size;
    tag.soundType = stereo ? 1 : 0;
    tag.payload = payloads.back().data();
    tag.payloadSize = payloads.back().size();
    return tag;
  }
};

using Result = Timeline::Result;

TEST(Timeline, EightBitMonoPcmIsWrittenAtTheTagsRate) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcm8(0, k11k, {128, 0, 255})), Result::kOk);
  ASSERT_EQ(timeline.add(m.pcm8(1, k11k, {192})), Result::kOk);
  ASSERT_EQ(timeline.finish(), Result::kOk);
  EXPECT_EQ(sink.begins, 1);
  EXPECT_EQ(sink.shape.rate, 11025);
  EXPECT_EQ(sink.shape.channels, 1);
  EXPECT_EQ(sink.samples[0], (std::vector<float>{0.0f, -1.0f, 127.0f / 128, 0.5f}));
}

TEST(Timeline, SixteenBitStereoIsSplitIntoChannels) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcm16(0, k44k, {16384, -16384, 8192, -8192}, true)), Result::kOk);
  EXPECT_EQ(sink.shape.channels, 2);
  EXPECT_EQ(sink.samples[0], (std::vector<float>{0.5f, 0.25f}));
  EXPECT_EQ(sink.samples[1], (std::vector<float>{-0.5f, -0.25f}));
}

TEST(Timeline, LittleEndianPcmFormatIsAcceptedAndIndexZeroIs5512Hz) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcm16(0, k5k, {100}, false, kPcmLittleEndian)), Result::kOk);
  EXPECT_EQ(sink.shape.rate, 5512);
}

TEST(Timeline, ClosedGapIsSilenceOfItsStoredLength) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcm8(0, k22k, std::vector<uint8_t>(100, 255))), Result::kOk);
  ASSERT_EQ(timeline.add(m.empty(100)), Result::kOk);  // opens the gap
  ASSERT_EQ(timeline.add(m.empty(250)), Result::kOk);  // changes nothing
  ASSERT_EQ(timeline.add(m.pcm8(400, k22k, std::vector<uint8_t>(50, 255))), Result::kOk);
  // 300 ms at 22050 Hz between the two payloads.
  ASSERT_EQ(sink.frames(), 100u + 6615 + 50);
  EXPECT_EQ(sink.samples[0][99], 127.0f / 128);
  EXPECT_EQ(sink.samples[0][100], 0.0f);
  EXPECT_EQ(sink.samples[0][100 + 6614], 0.0f);
  EXPECT_EQ(sink.samples[0][100 + 6615], 127.0f / 128);
  EXPECT_EQ(timeline.framesWritten(), 100 + 6615 + 50);
}

TEST(Timeline, SilenceOfManyGapsIsRoundedOnTheirTotal) {
  // Seven gaps of 1 ms at 5512 Hz: 38.584 frames in all, written as 39; a
  // rounding of each gap on its own would give 42.
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  uint32_t ms = 0;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(timeline.add(m.pcmFrames(ms, k5k, 10)), Result::kOk);
    ASSERT_EQ(timeline.add(m.empty(ms + 5)), Result::kOk);
    ms += 6;
  }
  ASSERT_EQ(timeline.add(m.pcmFrames(ms, k5k, 10)), Result::kOk);
  EXPECT_EQ(sink.frames(), 8u * 10 + 39);
}

TEST(Timeline, GapStillOpenAtTheEndAddsNothing) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcmFrames(0, k11k, 20)), Result::kOk);
  ASSERT_EQ(timeline.add(m.empty(10)), Result::kOk);
  ASSERT_EQ(timeline.add(m.empty(5000)), Result::kOk);
  ASSERT_EQ(timeline.finish(), Result::kOk);
  EXPECT_EQ(sink.frames(), 20u);
}

TEST(Timeline, GapBeforeTheFirstAudioIsSilenceAtThatAudiosRate) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.empty(40)), Result::kOk);
  EXPECT_EQ(sink.begins, 0);
  ASSERT_EQ(timeline.add(m.pcmFrames(140, k11k, 5)), Result::kOk);
  EXPECT_EQ(sink.shape.rate, 11025);
  EXPECT_EQ(sink.frames(), 1103u + 5);  // 100 ms = 1102.5 frames
}

TEST(Timeline, GapClosedBeforeItOpenedGivesNoSilence) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcmFrames(1000, k11k, 5)), Result::kOk);
  ASSERT_EQ(timeline.add(m.empty(1000)), Result::kOk);
  ASSERT_EQ(timeline.add(m.pcmFrames(200, k11k, 5)), Result::kOk);  // the clock went back
  ASSERT_EQ(timeline.add(m.empty(300)), Result::kOk);
  ASSERT_EQ(timeline.add(m.pcmFrames(400, k11k, 5)), Result::kOk);  // a 100 ms gap
  EXPECT_EQ(sink.frames(), 15u + 1103);
}

// Both passes over the same tags, as the converter makes them.
Result surveyAndAdd(Timeline& timeline, const std::vector<AudioTag>& tags) {
  for (const AudioTag& tag : tags) timeline.survey(tag);
  for (const AudioTag& tag : tags) {
    const Result added = timeline.add(tag);
    if (added != Result::kOk) return added;
  }
  return timeline.finish();
}

// Audio lost while the picture went on, with no empty tags to mark it:
// silence of the step less the audio before it, as the video re-timers
// count it; none where the picture does not go on (a clock jump).
TEST(Timeline, AHoleIsSilenceOfItsStepLessTheAudioBefore) {
  TagMaker m;
  for (const bool pictureGoesOn : {true, false}) {
    CaptureSink sink;
    Timeline timeline(sink, {});
    std::vector<AudioTag> tags = {m.pcmFrames(0, k11k, 441), m.pcmFrames(2000, k11k, 441)};
    for (const AudioTag& tag : tags) timeline.survey(tag);
    timeline.surveyVideo(3000);
    ASSERT_EQ(timeline.add(tags[0]), Result::kOk);
    for (uint32_t v = 0; v <= (pictureGoesOn ? 1960u : 40u); v += 40) timeline.video(v, 0);
    ASSERT_EQ(timeline.add(tags[1]), Result::kOk);
    const size_t hole = pictureGoesOn ? 21609 : 0;  // 1960 ms at 11025 Hz
    EXPECT_EQ(sink.frames(), 441u + hole + 441) << pictureGoesOn;
  }
}

TEST(Timeline, GapsAreRefusedOnlyWhenTheyCannotBeReal) {
  TagMaker m;
  constexpr uint32_t kHour = 3600 * 1000;
  // A microphone muted for 61 minutes, then six more hours in all.
  CaptureSink sink;
  sink.keep = false;
  Timeline muted(sink, {});
  uint32_t at = 10 + 61 * 60 * 1000;
  std::vector<AudioTag> tags = {m.pcmFrames(0, k5k, 5), m.empty(10), m.pcmFrames(at, k5k, 5)};
  for (int i = 0; i < 5; ++i) {
    tags.push_back(m.empty(at + 1000));
    at += kHour;
    tags.push_back(m.pcmFrames(at, k5k, 5));
  }
  ASSERT_EQ(surveyAndAdd(muted, tags), Result::kOk);
  EXPECT_EQ(sink.frames(), 7u * 5 + (61ull * 60 * 1000 + 5 * (kHour - 1000)) * 5512 / 1000);

  // A closing stamp that wrapped (top bit set), or a gap that the file's
  // own stamps do not span: a damaged stamp in the middle of a minute.
  for (const uint32_t closing : {0xFFFFFFF6u, 0x7FFFFFF0u}) {
    CaptureSink damaged;
    Timeline timeline(damaged, {});
    EXPECT_EQ(surveyAndAdd(timeline, {m.pcmFrames(0, k11k, 5), m.empty(1000), m.pcmFrames(closing, k11k, 5),
                                      m.pcmFrames(60000, k11k, 5)}),
              Result::kImplausibleGap)
        << closing;
    EXPECT_EQ(damaged.frames(), 5u) << closing;  // nothing of the gap written
  }
  // An opening stamp that wrapped below zero closes backwards, as the
  // re-timers read it: no silence.
  CaptureSink opened;
  Timeline openedTimeline(opened, {});
  EXPECT_EQ(surveyAndAdd(openedTimeline, {m.pcmFrames(0, k11k, 5), m.empty(0xFFFFFF00u), m.pcmFrames(2000, k11k, 5)}),
            Result::kOk);
  EXPECT_EQ(opened.frames(), 10u);
  // Without a survey, a wrapped length is still refused.
  CaptureSink unsurveyed;
  Timeline unsurveyedTimeline(unsurveyed, {});
  ASSERT_EQ(unsurveyedTimeline.add(m.pcmFrames(0, k11k, 5)), Result::kOk);
  ASSERT_EQ(unsurveyedTimeline.add(m.empty(10)), Result::kOk);
  EXPECT_EQ(unsurveyedTimeline.add(m.pcmFrames(0xFFFFFFF6u, k11k, 5)), Result::kImplausibleGap);
  // Gaps that each fit in the span but together pass it: a clock that
  // jumps back and forth.
  CaptureSink many;
  many.keep = false;
  Timeline manyTimeline(many, {});
  std::vector<AudioTag> jumping;
  for (int i = 0; i < 4; ++i) {
    jumping.push_back(m.pcmFrames(0, k5k, 5));
    jumping.push_back(m.empty(0));
    jumping.push_back(m.pcmFrames(40000, k5k, 5));
  }
  EXPECT_EQ(surveyAndAdd(manyTimeline, jumping), Result::kImplausibleGap);
}

TEST(Timeline, TagsAtAnotherRateAreResampledToTheStreamsRate) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  // A ramp at 11025 Hz, then the same ramp at 22050 Hz: the second comes out
  // at half its length, on the same line.
  std::vector<int16_t> ramp;
  for (int i = 0; i < 1000; ++i) ramp.push_back(static_cast<int16_t>(i * 16));
  std::vector<int16_t> fastRamp;
  for (int i = 0; i < 2000; ++i) fastRamp.push_back(static_cast<int16_t>(16000 + i * 8));
  ASSERT_EQ(timeline.add(m.pcm16(0, k11k, ramp)), Result::kOk);
  for (size_t from = 0; from < fastRamp.size(); from += 250) {
    std::vector<int16_t> part(fastRamp.begin() + static_cast<long>(from),
                              fastRamp.begin() + static_cast<long>(from + 250));
    ASSERT_EQ(timeline.add(m.pcm16(0, k22k, part)), Result::kOk);
  }
  ASSERT_EQ(sink.frames(), 2000u);
  for (size_t i = 1000; i < 2000; ++i) {
    EXPECT_NEAR(sink.samples[0][i] * 32768, 16000 + (i - 1000) * 16.0, 0.01) << i;
  }
}

TEST(Timeline, ChannelsFollowTheFirstAudioTag) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.pcm16(0, k44k, {8192, -8192}, true)), Result::kOk);
  ASSERT_EQ(timeline.add(m.pcm16(1, k44k, {4096})), Result::kOk);  // mono into stereo
  ASSERT_EQ(sink.frames(), 2u);
  EXPECT_EQ(sink.samples[0][1], 0.125f);
  EXPECT_EQ(sink.samples[1][1], 0.125f);

  CaptureSink mono;
  Timeline monoTimeline(mono, {});
  ASSERT_EQ(monoTimeline.add(m.pcm16(0, k44k, {4096})), Result::kOk);
  ASSERT_EQ(monoTimeline.add(m.pcm16(1, k44k, {8192, 0}, true)), Result::kOk);  // mixed
  EXPECT_EQ(mono.samples[0], (std::vector<float>{0.125f, 0.125f}));
}

TEST(Timeline, TheSurveyTakesTheHighestRateAndStereoSoAudioIsOnlyUpsampled) {
  // A 20 ms tag at 5512 Hz, then a 5 kHz tone at 44.1 kHz: the tone keeps
  // its rate and its pitch (decimated to 5512 Hz it would fold to 512 Hz).
  TagMaker m;
  std::vector<int16_t> tone;
  for (int i = 0; i < 4410; ++i) tone.push_back(static_cast<int16_t>(16000 * std::sin(2 * std::numbers::pi * 5000 * i / 44100.0)));
  CaptureSink sink;
  Timeline timeline(sink, {});
  ASSERT_EQ(surveyAndAdd(timeline, {m.pcmFrames(0, k5k, 110), m.pcm16(20, k44k, tone)}), Result::kOk);
  EXPECT_EQ(sink.shape.rate, 44100);
  ASSERT_NEAR(static_cast<double>(sink.frames()), 880 + 4410, 1);
  const size_t start = sink.frames() - tone.size();
  for (size_t i = 0; i < tone.size(); ++i) ASSERT_EQ(sink.samples[0][start + i], tone[i] / 32768.0f) << i;

  // A mono tag first, then stereo: the stream is stereo, the mono tag on
  // both channels, the stereo tag's channels kept apart.
  CaptureSink stereo;
  Timeline stereoTimeline(stereo, {});
  ASSERT_EQ(surveyAndAdd(stereoTimeline, {m.pcm16(0, k22k, {4096}), m.pcm16(1, k22k, {8192, -8192}, true)}),
            Result::kOk);
  EXPECT_EQ(stereo.shape.channels, 2);
  EXPECT_EQ(stereo.samples[0], (std::vector<float>{0.125f, 0.25f}));
  EXPECT_EQ(stereo.samples[1], (std::vector<float>{0.125f, -0.25f}));
}

TEST(Timeline, RatesThatChangeTwiceStayOnTheLineBetweenTags) {
  // 44.1 -> 11.025 -> 22.05 kHz, as the stream's rate is the highest: the
  // second change comes while the position lies before the chunk's first
  // sample, more than one sample back at the new rate. A ramp rising by
  // one unit per 44.1 kHz sample must come out as that ramp.
  TagMaker m;
  std::vector<AudioTag> tags;
  std::vector<int16_t> ramp;
  for (int i = 0; i < 441; ++i) ramp.push_back(static_cast<int16_t>(i));
  tags.push_back(m.pcm16(0, k44k, ramp));
  for (int tag = 0; tag < 5; ++tag) {
    std::vector<int16_t> values;
    for (int i = 0; i < 7; ++i) values.push_back(static_cast<int16_t>(441 + tag * 28 + i * 4));
    tags.push_back(m.pcm16(10, k11k, values));
  }
  std::vector<int16_t> fast;
  for (int i = 0; i < 50; ++i) fast.push_back(static_cast<int16_t>(581 + i * 2));
  tags.push_back(m.pcm16(20, k22k, fast));
  for (const bool surveyed : {true, false}) {
    CaptureSink sink;
    Timeline timeline(sink, {});
    if (surveyed) {
      ASSERT_EQ(surveyAndAdd(timeline, tags), Result::kOk);
    } else {
      for (const AudioTag& tag : tags) ASSERT_EQ(timeline.add(tag), Result::kOk);
    }
    ASSERT_NEAR(static_cast<double>(sink.frames()), 441 + 140 + 100, 2) << surveyed;
    for (size_t i = 0; i + 2 < sink.frames(); ++i) {
      ASSERT_NEAR(sink.samples[0][i] * 32768, static_cast<double>(i), 0.01) << i << " " << surveyed;
    }
  }
}

TEST(Timeline, NellymoserCountsWholeBlocksAndShortPayloadsCloseGaps) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.make(0, kNelly8k, k44k, 1, true, std::vector<uint8_t>(100, 0))),
            Result::kOk);
  EXPECT_EQ(sink.shape.rate, 8000);  // format 5, whatever its rate index
  EXPECT_EQ(sink.shape.channels, 1);
  // The decoder's delay is dropped at the start ...
  EXPECT_EQ(sink.frames(), 256u - Timeline::kNellymoserDelay);
  ASSERT_EQ(timeline.add(m.empty(50)), Result::kOk);
  ASSERT_EQ(timeline.add(m.make(60, kNelly8k, 0, 1, false, std::vector<uint8_t>(63, 0))),
            Result::kOk);
  EXPECT_EQ(sink.frames(), 128u + 80);  // 10 ms of silence, no audio
  ASSERT_EQ(timeline.add(m.make(60, kNelly, k22k, 1, false, std::vector<uint8_t>(64, 0))),
            Result::kOk);
  EXPECT_EQ(sink.frames(), 128u + 80 + 93);  // 256 samples at 22050 Hz, as 8000 Hz
  // ... and made up at the end, so the blocks keep their length: 128
  // samples at the last tag's 22050 Hz.
  ASSERT_EQ(timeline.finish(), Result::kOk);
  EXPECT_EQ(sink.frames(), 128u + 80 + 93 + 46);
  EXPECT_EQ(sink.samples[0].back(), 0.0f);
}

TEST(Timeline, OtherFormatsAreRefused) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  EXPECT_EQ(timeline.add(m.make(0, 2, k44k, 1, true, {0xFF, 0xFB})), Result::kUnsupportedFormat);
  EXPECT_EQ(timeline.add(m.make(0, 10, k44k, 1, true, {0, 1})), Result::kUnsupportedFormat);
  EXPECT_EQ(timeline.add(m.make(0, 1, k44k, 1, true, {0, 1})), Result::kUnsupportedFormat);
  EXPECT_EQ(sink.begins, 0);
  // An empty tag of any format is only a gap.
  EXPECT_EQ(timeline.add(m.make(0, 10, k44k, 1, true, {})), Result::kOk);
}

TEST(Timeline, InputWithoutAudioBeginsTheSinkWithTheProbedShape) {
  CaptureSink sink;
  Timeline timeline(sink, {22050, 2});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.empty(0)), Result::kOk);
  ASSERT_EQ(timeline.finish(), Result::kOk);
  EXPECT_EQ(sink.begins, 1);
  EXPECT_EQ(sink.shape.rate, 22050);
  EXPECT_EQ(sink.shape.channels, 2);
  EXPECT_EQ(sink.frames(), 0u);

  CaptureSink nonsense;
  Timeline nonsenseTimeline(nonsense, {-5, 7});
  ASSERT_EQ(nonsenseTimeline.finish(), Result::kOk);
  EXPECT_EQ(nonsense.shape.rate, 44100);
  EXPECT_EQ(nonsense.shape.channels, 1);
}

TEST(Timeline, SinkFailuresEndTheTimeline) {
  TagMaker m;
  CaptureSink refusing;
  refusing.acceptBegin = false;
  Timeline refused(refusing, {});
  EXPECT_EQ(refused.add(m.pcmFrames(0, k11k, 5)), Result::kSinkFailed);

  CaptureSink failing;
  failing.acceptWrite = false;
  Timeline failed(failing, {});
  EXPECT_EQ(failed.add(m.pcmFrames(0, k11k, 5)), Result::kSinkFailed);
  CaptureSink failingSilence;
  Timeline failedSilence(failingSilence, {});
  ASSERT_EQ(failedSilence.add(m.pcmFrames(0, k11k, 5)), Result::kOk);
  ASSERT_EQ(failedSilence.add(m.empty(10)), Result::kOk);
  failingSilence.acceptWrite = false;
  EXPECT_EQ(failedSilence.add(m.pcmFrames(20, k11k, 5)), Result::kSinkFailed);
}

}  // namespace
}  // namespace tonecast
