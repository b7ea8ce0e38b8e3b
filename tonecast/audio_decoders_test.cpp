#include "tonecast/audio_decoders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include <speex/speex.h>

#include "retime/speex_frames.h"

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

// Speex packets made by libspeex's own wideband encoder from a 440 Hz tone
// (silence where quiet is set): framesPerPacket frames each, closed by the
// terminator, in the narrowband and wideband-layer modes given (-1: the
// encoder's choice at quality 8).
struct SpeexOptions {
  int framesPerPacket = 2;
  int lowMode = -1;
  int highMode = -1;
  bool vadAndDtx = false;
  bool quiet = false;
};

std::vector<std::vector<uint8_t>> speexPackets(int packets, const SpeexOptions& o) {
  void* encoder = speex_encoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
  spx_int32_t on = 1;
  if (o.lowMode >= 0) speex_encoder_ctl(encoder, SPEEX_SET_LOW_MODE, const_cast<int*>(&o.lowMode));
  if (o.highMode >= 0) speex_encoder_ctl(encoder, SPEEX_SET_HIGH_MODE, const_cast<int*>(&o.highMode));
  if (o.vadAndDtx) {
    speex_encoder_ctl(encoder, SPEEX_SET_VAD, &on);
    speex_encoder_ctl(encoder, SPEEX_SET_DTX, &on);
  }
  SpeexBits bits;
  speex_bits_init(&bits);
  std::vector<std::vector<uint8_t>> out;
  int sample = 0;
  for (int p = 0; p < packets; ++p) {
    speex_bits_reset(&bits);
    for (int f = 0; f < o.framesPerPacket; ++f) {
      spx_int16_t frame[320];
      for (spx_int16_t& v : frame) {
        double tone = 12000 * std::sin(2 * std::numbers::pi * 440 * sample++ / 16000.0);
        v = static_cast<spx_int16_t>(o.quiet ? 0 : tone);
      }
      speex_encode_int(encoder, frame, &bits);
    }
    speex_bits_insert_terminator(&bits);
    std::vector<uint8_t> packet(static_cast<size_t>(speex_bits_nbytes(&bits)));
    speex_bits_write(&bits, reinterpret_cast<char*>(packet.data()), static_cast<int>(packet.size()));
    out.push_back(std::move(packet));
  }
  speex_bits_destroy(&bits);
  speex_encoder_destroy(encoder);
  return out;
}

// Decodes one payload whole; false on failure.
bool decodeSpeex(SpeexDecoder& decoder, const std::vector<uint8_t>& payload, std::vector<float>* samples) {
  std::vector<float> batch;
  return decoder.decode(payload.data(), payload.size(), batch, [&](const std::vector<float>& b) {
    samples->insert(samples->end(), b.begin(), b.end());
    return true;
  });
}

TEST(SpeexDecoder, GivesTheFramesThatTheCounterFindsInEveryModeAndPacking) {
  for (int frames : {1, 2, 8}) {
    for (int low = 0; low <= 8; ++low) {
      for (int high = 0; high <= 4; ++high) {
        SCOPED_TRACE(testing::Message() << frames << " frames, modes " << low << "/" << high);
        SpeexDecoder decoder;
        for (const auto& packet : speexPackets(3, {frames, low, high, false, false})) {
          std::vector<float> samples;
          ASSERT_TRUE(decodeSpeex(decoder, packet, &samples));
          EXPECT_EQ(samples.size(), static_cast<size_t>(frames) * 320);
          EXPECT_EQ(countSpeexFrames(packet.data(), packet.size()), frames);
        }
      }
    }
  }
}

TEST(SpeexDecoder, SilentFramesUnderDtxAreFewBytesAndStill20Ms) {
  SpeexDecoder decoder;
  auto packets = speexPackets(20, {2, -1, -1, true, true});
  for (const auto& packet : packets) {
    std::vector<float> samples;
    ASSERT_TRUE(decodeSpeex(decoder, packet, &samples));
    EXPECT_EQ(samples.size(), 640u);
    EXPECT_EQ(countSpeexFrames(packet.data(), packet.size()), 2);
  }
  EXPECT_LE(packets.back().size(), 4u);
}

TEST(SpeexDecoder, ToneKeepsItsPitch) {
  SpeexDecoder decoder;
  std::vector<float> out;
  for (const auto& packet : speexPackets(50, {})) ASSERT_TRUE(decodeSpeex(decoder, packet, &out));
  ASSERT_EQ(out.size(), 100u * 320);
  int crossings = 0;
  const size_t from = 1600;
  for (size_t i = from; i < out.size(); ++i) crossings += (out[i - 1] < 0) != (out[i] < 0) ? 1 : 0;
  EXPECT_NEAR(crossings / (static_cast<double>(out.size() - from) / 16000), 880, 20);
}

TEST(SpeexDecoder, AnUndecodableFrameIsOneFrameOfSilenceAndTheNextTagDecodes) {
  SpeexDecoder decoder;
  auto packets = speexPackets(3, {});
  std::vector<float> out;
  ASSERT_TRUE(decodeSpeex(decoder, packets[0], &out));
  // Narrowband mode 9 does not exist.
  const std::vector<uint8_t> damaged = {0x48, 0x12, 0x34, 0x56, 0x78, 0x9A};
  std::vector<float> lost;
  ASSERT_TRUE(decodeSpeex(decoder, damaged, &lost));
  EXPECT_EQ(lost, std::vector<float>(320, 0.0f));
  EXPECT_EQ(countSpeexFrames(damaged.data(), damaged.size()), 1);
  std::vector<float> after;
  ASSERT_TRUE(decodeSpeex(decoder, packets[1], &after));
  EXPECT_EQ(after.size(), 640u);
}

TEST(SpeexDecoder, AnyBytesGiveTheFramesThatTheCounterFinds) {
  std::mt19937 random(11);
  SpeexDecoder decoder;
  auto packets = speexPackets(40, {4});
  for (int i = 0; i < 3000; ++i) {
    // Real packets with bytes changed or cut, and noise.
    std::vector<uint8_t> payload = packets[static_cast<size_t>(i) % packets.size()];
    if (i % 3 == 2) {
      payload.assign(1 + random() % 200, 0);
      for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
    } else {
      for (int n = 0; n < 1 + i % 4; ++n) payload[random() % payload.size()] ^= static_cast<uint8_t>(1 + random() % 255);
      if (i % 3 == 1) payload.resize(1 + random() % payload.size());
    }
    std::vector<float> samples;
    ASSERT_TRUE(decodeSpeex(decoder, payload, &samples));
    ASSERT_EQ(static_cast<int64_t>(samples.size()), countSpeexFrames(payload.data(), payload.size()) * 320)
        << "payload " << i;
  }
}

TEST(SpeexDecoder, AHugePayloadOfTinyFramesIsHandedOverInBatches) {
  SpeexDecoder decoder;
  const std::vector<uint8_t> payload(10000, 0);  // narrowband mode 0, 5 bits a frame
  size_t batches = 0, samples = 0;
  std::vector<float> batch;
  ASSERT_TRUE(decoder.decode(payload.data(), payload.size(), batch, [&](const std::vector<float>& b) {
    EXPECT_LE(b.size(), SpeexDecoder::kBatchFrames * 320);
    ++batches;
    samples += b.size();
    return true;
  }));
  EXPECT_EQ(static_cast<int64_t>(samples), countSpeexFrames(payload.data(), payload.size()) * 320);
  EXPECT_GT(batches, 100u);
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
