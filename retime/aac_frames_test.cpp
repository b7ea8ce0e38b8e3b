#include "retime/aac_frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using retime::AacFrameFormat;
using retime::AacFrames;
using retime::parseAacConfig;

// AudioSpecificConfigs as encoders write them.
const std::vector<uint8_t> kLc44100Stereo = {0x12, 0x10};
const std::vector<uint8_t> kLc48000Stereo = {0x11, 0x90};
const std::vector<uint8_t> kLc44100Frames960 = {0x12, 0x14};
// HE-AAC, implicit: an LC config at the core rate of 24 kHz.
const std::vector<uint8_t> kLcCore24000 = {0x13, 0x10};
// HE-AAC, explicit: SBR at 24 kHz core, 48 kHz extension, LC core.
const std::vector<uint8_t> kSbr24000To48000 = {0x2B, 0x11, 0x88, 0x00};

AacFrameFormat parsed(const std::vector<uint8_t>& config) {
  AacFrameFormat f;
  EXPECT_TRUE(parseAacConfig(config.data(), config.size(), &f));
  return f;
}

TEST(ParseAacConfig, CoreRateAndFrameLength) {
  EXPECT_EQ(parsed(kLc44100Stereo).coreRate, 44100);
  EXPECT_EQ(parsed(kLc44100Stereo).frameSamples, 1024);
  EXPECT_EQ(parsed(kLc48000Stereo).coreRate, 48000);
  EXPECT_EQ(parsed(kLc44100Frames960).frameSamples, 960);
}

TEST(ParseAacConfig, SbrKeepsTheCoreRateForTheFrame) {
  AacFrameFormat f = parsed(kSbr24000To48000);
  EXPECT_EQ(f.coreRate, 24000);
  EXPECT_EQ(f.frameSamples, 1024);
  EXPECT_EQ(f.outputRate, 48000);
  EXPECT_EQ(parsed(kLcCore24000).coreRate, 24000);
}

TEST(ParseAacConfig, EmptyCutOrReservedConfigsAreRefused) {
  AacFrameFormat f{1, 2, 3};
  EXPECT_FALSE(parseAacConfig(nullptr, 0, &f));
  EXPECT_FALSE(parseAacConfig(kLc44100Stereo.data(), 1, &f));
  const std::vector<uint8_t> reservedRate = {0x16, 0x90};   // rate index 13
  const std::vector<uint8_t> unknownType = {0xF8, 0x00, 0x00, 0x00};  // escape to type 32
  EXPECT_FALSE(parseAacConfig(reservedRate.data(), reservedRate.size(), &f));
  EXPECT_FALSE(parseAacConfig(unknownType.data(), unknownType.size(), &f));
  EXPECT_EQ(f.coreRate, 1);  // left alone
}

// A tag record as the reader fills it for an AAC tag read whole.
struct AacTag {
  std::vector<uint8_t> payload;
  TagRecord record{};
  AacTag(uint8_t packetType, const std::vector<uint8_t>& body) : payload(body.size() + 1, packetType) {
    for (size_t i = 0; i < body.size(); ++i) payload[i + 1] = body[i];
    record.tagType = 8;
    record.soundFormat = 10;
    record.payload = payload.data();
    record.payloadSize = static_cast<int32_t>(payload.size());
  }
};

int64_t ticks(AacFrames& frames, uint8_t packetType, const std::vector<uint8_t>& body) {
  AacTag tag(packetType, body);
  return frames.tagTicks(tag.record);
}

TEST(AacFrames, RunningLengthIsExactOverManyFrames) {
  AacFrames frames;
  EXPECT_EQ(ticks(frames, 0, kLc44100Stereo), 0);
  int64_t total = 0;
  for (int i = 0; i < 441; ++i) total += ticks(frames, 1, {0x21, 0x00});
  EXPECT_EQ(total, 102400000);  // 441 x 1024 samples at 44.1 kHz: 10.24 s, no rounding left over
}

TEST(AacFrames, ALaterSequenceHeaderAppliesFromThere) {
  AacFrames frames;
  ticks(frames, 0, kLc48000Stereo);
  EXPECT_EQ(ticks(frames, 1, {0x21}), 213333);  // 1024 / 48000 s
  ticks(frames, 0, kSbr24000To48000);
  EXPECT_EQ(ticks(frames, 1, {0x21}), 426666);  // 1024 / 24000 s: SBR does not halve it
  EXPECT_EQ(ticks(frames, 1, {0x21}), 426667);
}

TEST(AacFrames, FramesWithoutAUsableConfigCannotBeMeasured) {
  AacFrames frames;
  EXPECT_EQ(ticks(frames, 1, {0x21}), AacFrames::kUnmeasurable);  // no header yet
  EXPECT_EQ(ticks(frames, 0, {}), 0);                              // an empty header
  EXPECT_EQ(ticks(frames, 1, {0x21}), AacFrames::kUnmeasurable);
  ticks(frames, 0, kLc44100Frames960);
  EXPECT_EQ(ticks(frames, 1, {0x21}), 217687);  // 960 / 44100 s
  EXPECT_EQ(ticks(frames, 1, {}), 0);           // a raw tag with no frame bytes
}

}  // namespace
