#include "tonecast/audio_decoders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace tonecast {
namespace {

TEST(DecodePcm, EightBitSamplesAreUnsignedAroundHalfScale) {
  const uint8_t payload[] = {0, 128, 255, 64};
  std::vector<float> out;
  EXPECT_EQ(decodePcm(payload, sizeof payload, false, 1, out), 4u);
  EXPECT_EQ(out, (std::vector<float>{-1.0f, 0.0f, 127.0f / 128, -0.5f}));
}

TEST(DecodePcm, SixteenBitSamplesAreSignedLittleEndian) {
  const uint8_t payload[] = {0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0xFF, 0xFF};
  std::vector<float> out;
  EXPECT_EQ(decodePcm(payload, sizeof payload, true, 1, out), 4u);
  EXPECT_EQ(out, (std::vector<float>{-1.0f, 32767.0f / 32768, 1.0f / 32768, -1.0f / 32768}));
}

TEST(DecodePcm, BytesBeyondTheLastWholeStereoFrameAreIgnored) {
  const uint8_t payload[] = {0x00, 0x40, 0x00, 0xC0, 0x00, 0x20, 0x00};
  std::vector<float> out = {9.0f};  // appended to, not replaced
  EXPECT_EQ(decodePcm(payload, sizeof payload, true, 2, out), 1u);
  EXPECT_EQ(out, (std::vector<float>{9.0f, 0.5f, -0.5f}));
}

// Nellymoser blocks made by libavcodec's own encoder from a 440 Hz tone.
std::vector<uint8_t> nellymoserTone(int blocks) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_NELLYMOSER);
  if (!codec) return {};
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->sample_rate = 8000;
  context->sample_fmt = AV_SAMPLE_FMT_FLT;
  av_channel_layout_default(&context->ch_layout, 1);
  std::vector<uint8_t> out;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    int sample = 0;
    for (int i = 0; i <= blocks + 1; ++i) {
      frame->nb_samples = 256;
      frame->format = AV_SAMPLE_FMT_FLT;
      av_channel_layout_default(&frame->ch_layout, 1);
      av_frame_get_buffer(frame, 0);
      auto* data = reinterpret_cast<float*>(frame->data[0]);
      for (int n = 0; n < 256; ++n, ++sample) {
        data[n] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * sample / 8000.0));
      }
      avcodec_send_frame(context, frame);
      av_frame_unref(frame);
      while (avcodec_receive_packet(context, packet) == 0) {
        out.insert(out.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
  avcodec_free_context(&context);
  out.resize(std::min(out.size(), static_cast<size_t>(blocks) * 64));
  return out;
}

TEST(NellymoserDecoder, EveryWholeBlockGives256SamplesOfTheTone) {
  std::vector<uint8_t> blocks = nellymoserTone(32);
  ASSERT_EQ(blocks.size(), 32u * 64);
  NellymoserDecoder decoder;
  std::vector<float> out;
  ASSERT_TRUE(decoder.decode(blocks.data(), blocks.size(), out));
  ASSERT_EQ(out.size(), 32u * 256);
  // Past the codec's start-up, the tone is back: its level, and its pitch
  // counted by zero crossings (880 per second for 440 Hz).
  double energy = 0;
  int crossings = 0;
  const size_t from = 1024;
  for (size_t i = from; i < out.size(); ++i) {
    energy += out[i] * out[i];
    if ((out[i - 1] < 0) != (out[i] < 0)) ++crossings;
  }
  const double seconds = static_cast<double>(out.size() - from) / 8000;
  EXPECT_NEAR(std::sqrt(energy / static_cast<double>(out.size() - from)), 0.5 / std::sqrt(2), 0.08);
  EXPECT_NEAR(crossings / seconds, 880, 30);
}

TEST(NellymoserDecoder, BytesBeyondTheLastWholeBlockAreIgnored) {
  std::vector<uint8_t> blocks = nellymoserTone(3);
  ASSERT_EQ(blocks.size(), 3u * 64);
  NellymoserDecoder decoder;
  std::vector<float> out;
  ASSERT_TRUE(decoder.decode(blocks.data(), 100, out));
  EXPECT_EQ(out.size(), 256u);
  ASSERT_TRUE(decoder.decode(blocks.data() + 64, 63, out));
  EXPECT_EQ(out.size(), 256u);
  ASSERT_TRUE(decoder.decode(blocks.data() + 64, 128, out));
  EXPECT_EQ(out.size(), 768u);
}

// Random bytes decode to samples of up to 1e9, on which LAME aborts: every
// sample the decoder gives stays within full scale, a damaged tag costs its
// own samples (silence) and the tone in the tags after it comes through.
TEST(NellymoserDecoder, DamagedBlocksStayWithinFullScaleAndCostOnlyTheirTag) {
  std::mt19937 random(7);
  NellymoserDecoder decoder;
  std::vector<float> out;
  for (int tag = 0; tag < 200; ++tag) {
    std::vector<uint8_t> block(64);
    for (auto& b : block) b = static_cast<uint8_t>(random());
    ASSERT_TRUE(decoder.decode(block.data(), block.size(), out));
  }
  ASSERT_EQ(out.size(), 200u * 256);
  for (float sample : out) ASSERT_TRUE(std::isfinite(sample) && std::fabs(sample) <= 1.0f) << sample;

  const std::vector<uint8_t> tone = nellymoserTone(32);
  std::vector<float> after;
  for (size_t at = 0; at < tone.size(); at += 64) ASSERT_TRUE(decoder.decode(tone.data() + at, 64, after));
  double energy = 0;
  for (size_t i = 1024; i < after.size(); ++i) energy += after[i] * after[i];
  EXPECT_NEAR(std::sqrt(energy / static_cast<double>(after.size() - 1024)), 0.5 / std::sqrt(2), 0.08);
}

}  // namespace
}  // namespace tonecast
