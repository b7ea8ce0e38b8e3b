#include "tonecast/timeline.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST(Timeline, GapsLongerThanAnyRecordingAreRefused) {
  TagMaker m;
  CaptureSink sink;
  sink.keep = false;
  Timeline timeline(sink, {});
  ASSERT_EQ(timeline.add(m.pcmFrames(0, k5k, 5)), Result::kOk);
  ASSERT_EQ(timeline.add(m.empty(10)), Result::kOk);
  ASSERT_EQ(timeline.add(m.pcmFrames(10 + Timeline::kMaxGapMs, k5k, 5)), Result::kOk);  // an hour
  EXPECT_EQ(sink.frames(), 10u + 5512u * 3600);
  ASSERT_EQ(timeline.add(m.empty(0x7FFFFFF0)), Result::kOk);
  EXPECT_EQ(timeline.add(m.pcmFrames(0xFFFFFFFF, k5k, 5)), Result::kImplausibleGap);
  EXPECT_EQ(sink.frames(), 10u + 5512u * 3600);  // nothing of it written

  // Six one-hour gaps pass; the seventh passes the total.
  CaptureSink manySink;
  manySink.keep = false;
  Timeline many(manySink, {});
  uint32_t ms = 0;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(many.add(m.pcmFrames(ms, k5k, 1)), Result::kOk);
    ASSERT_EQ(many.add(m.empty(ms)), Result::kOk);
    ms += static_cast<uint32_t>(Timeline::kMaxGapMs);
  }
  EXPECT_EQ(many.add(m.pcmFrames(ms, k5k, 1)), Result::kImplausibleGap);
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

TEST(Timeline, NellymoserCountsWholeBlocksAndShortPayloadsCloseGaps) {
  CaptureSink sink;
  Timeline timeline(sink, {});
  TagMaker m;
  ASSERT_EQ(timeline.add(m.make(0, kNelly8k, k44k, 1, true, std::vector<uint8_t>(100, 0))),
            Result::kOk);
  EXPECT_EQ(sink.shape.rate, 8000);  // format 5, whatever its rate index
  EXPECT_EQ(sink.shape.channels, 1);
  EXPECT_EQ(sink.frames(), 256u);
  ASSERT_EQ(timeline.add(m.empty(50)), Result::kOk);
  ASSERT_EQ(timeline.add(m.make(60, kNelly8k, 0, 1, false, std::vector<uint8_t>(63, 0))),
            Result::kOk);
  EXPECT_EQ(sink.frames(), 256u + 80);  // 10 ms of silence, no audio
  ASSERT_EQ(timeline.add(m.make(60, kNelly, k22k, 1, false, std::vector<uint8_t>(64, 0))),
            Result::kOk);
  EXPECT_EQ(sink.frames(), 256u + 80 + 93);  // 256 samples at 22050 Hz, as 8000 Hz
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
