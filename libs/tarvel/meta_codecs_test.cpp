#include "libs/tarvel/meta_codecs.h"
#include "libs/tarvel/tag_heads.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvel {
namespace {

// Packs (value, bit count) pairs most significant bit first, zero-padded.
std::vector<uint8_t> packBits(std::initializer_list<std::pair<uint32_t, int>> fields) {
  std::vector<uint8_t> out;
  int used = 8;
  for (auto [value, bits] : fields) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used == 8) out.push_back(0), used = 0;
      out.back() |= static_cast<uint8_t>(((value >> i) & 1) << (7 - used++));
    }
  }
  return out;
}

Dimensions dims(bool (*parse)(const uint8_t*, size_t, Dimensions*), const std::vector<uint8_t>& b) {
  Dimensions d;
  if (!parse(b.data(), b.size(), &d)) return {};
  return d;
}

// Sorenson H.263 picture header: 17-bit start code 1, version 5 bits,
// temporal reference 8 bits, picture size 3 bits, then optional sizes.
TEST(VideoDimensions, SorensonCustomEightBitSize) {
  std::vector<uint8_t> b = packBits({{1, 17}, {0, 5}, {7, 8}, {0, 3}, {200, 8}, {100, 8}});
  Dimensions d = dims(sorensonDimensions, b);
  EXPECT_EQ(d.width, 200u);
  EXPECT_EQ(d.height, 100u);
}

TEST(VideoDimensions, SorensonFixedSize) {
  std::vector<uint8_t> b = packBits({{1, 17}, {1, 5}, {0, 8}, {5, 3}, {0, 16}});
  Dimensions d = dims(sorensonDimensions, b);
  EXPECT_EQ(d.width, 320u);
  EXPECT_EQ(d.height, 240u);
  EXPECT_EQ(dims(sorensonDimensions, packBits({{1, 17}, {0, 5}, {0, 8}, {1, 3}, {640, 16}, {360, 16}})).height,
            360u);
  b[0] = 0x01;  // not a start code
  EXPECT_EQ(dims(sorensonDimensions, b).width, 0u);
}

TEST(VideoDimensions, ScreenVideoBothVersions) {
  // block width code 3, width 640, block height code 3, height 480
  std::vector<uint8_t> b = {0x32, 0x80, 0x31, 0xE0};
  Dimensions d;
  ASSERT_TRUE(videoDimensions(3, b.data(), b.size(), &d));
  EXPECT_EQ(d.width, 640u);
  EXPECT_EQ(d.height, 480u);
  ASSERT_TRUE(videoDimensions(6, b.data(), b.size(), &d));
  EXPECT_EQ(d.width, 640u);
  EXPECT_FALSE(videoDimensions(3, b.data(), 3, &d));
}

TEST(VideoDimensions, Vp6KeyFrameWithAdjustment) {
  // adjust 4/8; key frame, no separated coefficients, filter header set:
  // rows 15, cols 20 right after the two header bytes -> 320-4 x 240-8
  std::vector<uint8_t> b = {0x48, 0x00, 0x46, 15, 20, 15, 20};
  Dimensions d = dims(vp6Dimensions, b);
  EXPECT_EQ(d.width, 316u);
  EXPECT_EQ(d.height, 232u);
  // Without the filter header a partition offset comes first.
  std::vector<uint8_t> offset = {0x00, 0x00, 0x40, 0x12, 0x34, 9, 11, 9, 11};
  d = dims(vp6Dimensions, offset);
  EXPECT_EQ(d.width, 176u);
  EXPECT_EQ(d.height, 144u);
  // An inter frame has no size.
  b[1] = 0x80;
  EXPECT_EQ(dims(vp6Dimensions, b).width, 0u);
}

TEST(VideoDimensions, Vp6AlphaSkipsAlphaOffset) {
  std::vector<uint8_t> b = {0x00, 0x00, 0x01, 0x00, 0x00, 0x46, 15, 20, 15, 20};
  Dimensions d = dims(vp6AlphaDimensions, b);
  EXPECT_EQ(d.width, 320u);
  EXPECT_EQ(d.height, 240u);
}

// Sequence parameter sets as libx264 writes them into FLV files.
const std::vector<uint8_t> kSps1080p = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0, 0x08, 0x9f,
                                        0x97, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00,
                                        0x00, 0x03, 0x03, 0x20, 0xf1, 0x83, 0x2a};
const std::vector<uint8_t> kSps322x242 = {0x67, 0x42, 0xc0, 0x0d, 0xda, 0x05, 0x42, 0x1e, 0x22,
                                          0x23, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00,
                                          0x00, 0x03, 0x03, 0x20, 0xf1, 0x42, 0xaa};
// High 4:4:4 (profile 244): chroma format and bit depths before the size.
const std::vector<uint8_t> kSpsHigh444 = {0x67, 0xf4, 0x00, 0x28, 0x91, 0x96, 0x80, 0x78, 0x02,
                                          0x27, 0xe2, 0x70, 0x11, 0x00, 0x00, 0x03, 0x00, 0x01,
                                          0x00, 0x00, 0x03, 0x00, 0x32, 0x0f, 0x18, 0x32, 0xa0};

TEST(VideoDimensions, SpsCroppingApplied) {
  Dimensions d = dims(spsDimensions, kSps1080p);
  EXPECT_EQ(d.width, 1920u);
  EXPECT_EQ(d.height, 1080u);
  d = dims(spsDimensions, kSps322x242);
  EXPECT_EQ(d.width, 322u);
  EXPECT_EQ(d.height, 242u);
  d = dims(spsDimensions, kSpsHigh444);
  EXPECT_EQ(d.width, 1920u);
  EXPECT_EQ(d.height, 1080u);
}

TEST(VideoDimensions, SpsTruncationFailsCleanly) {
  for (size_t n = 0; n + 1 < kSps322x242.size(); ++n) {
    Dimensions d;
    if (spsDimensions(kSps322x242.data(), n, &d)) {
      // A prefix may parse only if it already reached the size fields.
      EXPECT_EQ(d.width, 322u);
    }
  }
  std::vector<uint8_t> zeros(64, 0);
  zeros[0] = 0x67;
  zeros[1] = 100;  // High: the chroma format is an exp-Golomb code of zeros
  Dimensions d;
  EXPECT_FALSE(spsDimensions(zeros.data(), zeros.size(), &d));
}

TEST(VideoDimensions, AvcSequenceHeaderOnly) {
  std::vector<uint8_t> packet = {0x00, 0, 0, 0, 0x01, 0x42, 0xc0, 0x0d, 0xff, 0xe1, 0x00,
                                 static_cast<uint8_t>(kSps322x242.size())};
  packet.insert(packet.end(), kSps322x242.begin(), kSps322x242.end());
  Dimensions d;
  ASSERT_TRUE(avcDimensions(packet.data(), packet.size(), &d));
  EXPECT_EQ(d.width, 322u);
  packet[0] = 1;  // a picture
  EXPECT_FALSE(avcDimensions(packet.data(), packet.size(), &d));
  packet[0] = 0;
  packet[11] = 0xFF;  // SPS length past the end
  EXPECT_FALSE(avcDimensions(packet.data(), packet.size(), &d));
}

TEST(AudioFormat, FlagsAndTheirExceptions) {
  AudioFormat mp3 = audioFormatFromFlags(0x2F);
  EXPECT_EQ(mp3.codecId, 2);
  EXPECT_EQ(mp3.sampleRate, 44100);
  EXPECT_EQ(mp3.sampleSize, 16);
  EXPECT_TRUE(mp3.stereo);
  AudioFormat pcm8 = audioFormatFromFlags(0x34);
  EXPECT_EQ(pcm8.sampleRate, 11025);
  EXPECT_EQ(pcm8.sampleSize, 8);
  EXPECT_FALSE(pcm8.stereo);
  // Nellymoser 8 kHz says 5.5 kHz in its rate bits.
  EXPECT_EQ(audioFormatFromFlags(0x52).sampleRate, 8000);
  EXPECT_EQ(audioFormatFromFlags(0x42).sampleRate, 16000);
  EXPECT_EQ(audioFormatFromFlags(0x6E).sampleRate, 44100);
}

TEST(AudioFormat, AacRateFromItsConfig) {
  AacConfig c;
  std::vector<uint8_t> lc48kMono = {0x00, 0x11, 0x88};
  ASSERT_TRUE(aacConfig(lc48kMono.data(), lc48kMono.size(), &c));
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channels, 1);
  EXPECT_EQ(c.frameMicros, 1024 * 1000000 / 48000);
  // Explicit SBR: object type 5, core 24 kHz, stereo, extension 48 kHz, then AAC LC.
  std::vector<uint8_t> heAac = {0x00, 0x2B, 0x11, 0x88, 0x00};
  ASSERT_TRUE(aacConfig(heAac.data(), heAac.size(), &c));
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channels, 2);
  EXPECT_EQ(c.frameMicros, 1024 * 1000000 / 24000);
  std::vector<uint8_t> raw = {0x01, 0x11, 0x88};  // a frame, not a config
  EXPECT_FALSE(aacConfig(raw.data(), raw.size(), &c));
}

TEST(AudioLength, Mp3FramesAreWalked) {
  // Two MPEG-1 layer III frames, 128 kb/s, 44.1 kHz: 417 bytes each.
  std::vector<uint8_t> frames(834, 0);
  for (size_t at : {size_t{0}, size_t{417}}) {
    frames[at] = 0xFF, frames[at + 1] = 0xFB, frames[at + 2] = 0x90, frames[at + 3] = 0x00;
  }
  AudioFormat mp3 = audioFormatFromFlags(0x2E);
  EXPECT_EQ(audioPayloadMicros(mp3, 0, frames.data(), frames.size()), 2 * (1152 * 1000000 / 44100));
}

TEST(AudioLength, FixedRateFormats) {
  std::vector<uint8_t> payload(17640, 0);
  EXPECT_EQ(audioPayloadMicros(audioFormatFromFlags(0x3F), 0, payload.data(), payload.size()),
            100000);  // 16-bit stereo 44.1 kHz: 4410 samples
  std::vector<uint8_t> nelly(128, 0);
  EXPECT_EQ(audioPayloadMicros(audioFormatFromFlags(0x52), 0, nelly.data(), nelly.size()), 64000);
}

// ---- Extended video and audio headers ----------------------------------------

flv::VideoHead videoHead(const std::vector<uint8_t>& data) {
  flv::VideoHead h;
  EXPECT_TRUE(flv::readVideoHead(data.data(), data.size(), &h));
  return h;
}

TEST(ExtendedHeader, OnlyCodedKeyFramesAreIndexed) {
  // SequenceStart, Metadata (frame type 5), CodedFrames, CodedFramesX, a
  // command frame, SequenceEnd and MPEG2TSSequenceStart, all of av01.
  struct Case { uint8_t flags; bool indexed; bool picture; };
  for (Case c : {Case{0x90, false, false}, Case{0xd4, false, false}, Case{0x91, true, true},
                 Case{0x93, true, true}, Case{0xa3, false, true}, Case{0xd1, false, false},
                 Case{0x92, false, false}, Case{0x95, false, false}}) {
    flv::VideoHead h = videoHead({c.flags, 'a', 'v', '0', '1', 0x12, 0x00});
    EXPECT_TRUE(h.extended);
    EXPECT_EQ(h.codec, flv::kFourCcAv1);
    EXPECT_EQ(flv::indexedAsKeyframe(h), c.indexed) << std::hex << int(c.flags);
    EXPECT_EQ(flv::holdsPicture(h), c.picture) << std::hex << int(c.flags);
    EXPECT_EQ(h.bodyAt, 5u);
  }
}

TEST(ExtendedHeader, CompositionTimeOnlyWhereThePacketTypeCarriesOne) {
  EXPECT_EQ(videoHead({0x91, 'h', 'v', 'c', '1', 0, 0, 40}).bodyAt, 8u);
  EXPECT_EQ(videoHead({0x93, 'h', 'v', 'c', '1', 0, 0, 40}).bodyAt, 5u);
  EXPECT_EQ(videoHead({0x91, 'v', 'p', '0', '9', 0x82}).bodyAt, 5u);
}

TEST(ExtendedHeader, MultitrackIsIndexedByItsFirstTrack) {
  // Multitrack, OneTrack of CodedFrames: FourCC, track id.
  flv::VideoHead one = videoHead({0x96, 0x01, 'h', 'v', 'c', '1', 0, 0, 0, 0});
  EXPECT_TRUE(one.multitrack);
  EXPECT_EQ(one.codec, flv::kFourCcHevc);
  EXPECT_TRUE(flv::indexedAsKeyframe(one));
  EXPECT_EQ(one.bodyAt, 10u);  // past the composition time
  // ManyTracks of SequenceStart: not a place to seek to.
  flv::VideoHead many = videoHead({0x96, 0x10, 'a', 'v', '0', '1', 0, 0, 0, 4});
  EXPECT_FALSE(flv::indexedAsKeyframe(many));
  EXPECT_EQ(many.bodyAt, 10u);
}

TEST(ExtendedHeader, ModExIsSkippedToThePacketType) {
  // ModEx with two bytes of data, then CodedFramesX.
  flv::VideoHead h = videoHead({0x97, 0x01, 0xAA, 0xBB, 0x03, 'a', 'v', '0', '1'});
  EXPECT_EQ(h.packetType, flv::kVideoCodedFramesX);
  EXPECT_EQ(h.codec, flv::kFourCcAv1);
  EXPECT_TRUE(flv::indexedAsKeyframe(h));
  // A ModEx whose size runs past the bytes at hand says nothing.
  std::vector<uint8_t> cut = {0x97, 0xFF, 0x00, 0x10, 0x03};
  flv::VideoHead none;
  EXPECT_FALSE(flv::readVideoHead(cut.data(), cut.size(), &none));
  std::vector<uint8_t> noFourCc = {0x91, 'a', 'v'};
  EXPECT_FALSE(flv::readVideoHead(noFourCc.data(), noFourCc.size(), &none));
}

TEST(ExtendedHeader, ClassicTagsReadAsBefore) {
  flv::VideoHead avc = videoHead({0x17, 0x00, 0, 0, 0});
  EXPECT_FALSE(avc.extended);
  EXPECT_EQ(avc.codec, uint32_t{flv::kAvc});
  EXPECT_TRUE(flv::indexedAsKeyframe(avc));  // the sequence header leads its picture
  EXPECT_FALSE(flv::holdsPicture(avc));
  flv::VideoHead hevc12 = videoHead({0x1c, 0x01, 0, 0, 0});
  EXPECT_TRUE(flv::holdsPicture(hevc12));
  EXPECT_EQ(hevc12.bodyAt, 5u);
  flv::VideoHead h263 = videoHead({0x22});
  EXPECT_TRUE(flv::holdsPicture(h263));
  EXPECT_FALSE(flv::indexedAsKeyframe(h263));
}

TEST(ExtendedHeader, AudioFourCcAfterThePacketType) {
  std::vector<uint8_t> mp3 = {0x91, '.', 'm', 'p', '3', 0xFF, 0xFB};
  flv::AudioHead a;
  ASSERT_TRUE(flv::readAudioHead(mp3.data(), mp3.size(), &a));
  EXPECT_TRUE(a.extended);
  EXPECT_EQ(a.codec, flv::kFourCcMp3);
  EXPECT_EQ(a.packetType, flv::kAudioCodedFrames);
  EXPECT_EQ(a.bodyAt, 5u);
  std::vector<uint8_t> multitrack = {0x95, 0x11, 'O', 'p', 'u', 's', 1, 0, 0, 9};
  ASSERT_TRUE(flv::readAudioHead(multitrack.data(), multitrack.size(), &a));
  EXPECT_EQ(a.codec, flv::kFourCcOpus);
  EXPECT_EQ(a.bodyAt, 10u);
  std::vector<uint8_t> classic = {0xAF, 0x01};
  ASSERT_TRUE(flv::readAudioHead(classic.data(), classic.size(), &a));
  EXPECT_FALSE(a.extended);
  EXPECT_EQ(a.codec, uint32_t{flv::kAac});
}

// ---- Picture sizes of HEVC, AV1 and VP9 ----------------------------------------

TEST(VideoDimensions, Vp9KeyFrameHeader) {
  // frame marker 2, profile 0, shown key frame, sync code, colour space 0,
  // range 0, then width and height minus one.
  std::vector<uint8_t> b = packBits({{2, 2}, {0, 2}, {0, 1}, {0, 1}, {1, 1}, {0, 1}, {0x498342, 24},
                                     {0, 3}, {0, 1}, {639, 16}, {359, 16}});
  Dimensions d = dims(vp9FrameDimensions, b);
  EXPECT_EQ(d.width, 640u);
  EXPECT_EQ(d.height, 360u);
  b[0] |= 0x04;  // an inter frame carries no size
  EXPECT_EQ(dims(vp9FrameDimensions, b).width, 0u);
}

TEST(VideoDimensions, Av1SequenceHeaderInItsConfigRecord) {
  // Sequence header: profile 0, not still, full header, no timing info, no
  // initial display delay, one operating point (idc 0, level 8, tier 0),
  // 11-bit width and height fields.
  std::vector<uint8_t> seq = packBits({{0, 3}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 5}, {0, 12},
                                       {8, 5}, {0, 1}, {10, 4}, {10, 4}, {1279, 11}, {719, 11}});
  std::vector<uint8_t> record = {0x81, 0x00, 0x0C, 0x00, 0x0A, static_cast<uint8_t>(seq.size())};
  record.insert(record.end(), seq.begin(), seq.end());
  Dimensions d = dims(av1RecordDimensions, record);
  EXPECT_EQ(d.width, 1280u);
  EXPECT_EQ(d.height, 720u);
  record.resize(record.size() - 2);  // the OBU's size runs past the record
  EXPECT_EQ(dims(av1RecordDimensions, record).width, 0u);
}

}  // namespace
}  // namespace tarvel
