#include "tonecast/audio_decoders.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include <speex/speex.h>

#include "tonecast/libav.h"

namespace tonecast {

size_t decodePcm(const uint8_t* payload, size_t size, bool sixteenBit, int channels,
                 std::vector<float>& out) {
  const size_t bytesPerSample = sixteenBit ? 2 : 1;
  const size_t frameBytes = bytesPerSample * static_cast<size_t>(channels);
  const size_t frames = size / frameBytes;
  const size_t samples = frames * static_cast<size_t>(channels);
  const size_t first = out.size();
  out.resize(first + samples);
  float* dst = out.data() + first;
  if (sixteenBit) {
    for (size_t i = 0; i < samples; ++i) {
      const auto value = static_cast<int16_t>(payload[2 * i] | (payload[2 * i + 1] << 8));
      dst[i] = static_cast<float>(value) * (1.0f / 32768.0f);
    }
  } else {
    for (size_t i = 0; i < samples; ++i) {
      dst[i] = static_cast<float>(static_cast<int>(payload[i]) - 128) * (1.0f / 128.0f);
    }
  }
  return frames;
}

NellymoserDecoder::~NellymoserDecoder() {
  if (!context_ && !packet_ && !frame_) return;  // never opened: nothing to load for
  const LibAv* av = libAv();
  av->frameFree(&frame_);
  av->packetFree(&packet_);
  av->freeContext(&context_);
}

bool NellymoserDecoder::open() {
  const LibAv* av = libAv();
  if (!av) return false;
  const AVCodec* codec = av->findDecoder(AV_CODEC_ID_NELLYMOSER);
  if (!codec) return false;
  context_ = av->allocContext(codec);
  packet_ = av->packetAlloc();
  frame_ = av->frameAlloc();
  if (!context_ || !packet_ || !frame_) return false;
  // The codec itself does not depend on the rate; the caller keeps time.
  context_->sample_rate = 8000;
  av->defaultLayout(&context_->ch_layout, 1);
  return av->open(context_, codec, nullptr) == 0;
}

namespace {

// A real Nellymoser encoder never gives samples far past full scale; damaged
// blocks decode to values up to 1e9 and more, which LAME cannot quantise.
constexpr float kDamagedPeak = 2.0f;

// Keeps decoded samples in [-1, 1], block by block (256 samples): a block
// with a sample that is not finite or lies far past full scale is damaged
// (or holds the tail of a damaged one, which the codec overlaps with it) and
// becomes silence of its length; a sample a little past full scale is
// clamped.
void tameDecoded(float* samples, size_t count) {
  for (size_t start = 0; start < count; start += NellymoserDecoder::kBlockSamples) {
    float* block = samples + start;
    const size_t n = std::min(NellymoserDecoder::kBlockSamples, count - start);
    bool damaged = false;
    for (size_t i = 0; i < n && !damaged; ++i) damaged = !std::isfinite(block[i]) || std::fabs(block[i]) > kDamagedPeak;
    for (size_t i = 0; i < n; ++i) block[i] = damaged ? 0.0f : std::clamp(block[i], -1.0f, 1.0f);
  }
}

}  // namespace

bool NellymoserDecoder::decode(const uint8_t* payload, size_t size, std::vector<float>& out) {
  const size_t first = out.size();
  const bool decoded = decodeBlocks(payload, size, out);
  tameDecoded(out.data() + first, out.size() - first);
  return decoded;
}

bool NellymoserDecoder::decodeBlocks(const uint8_t* payload, size_t size, std::vector<float>& out) {
  const size_t wholeBytes = size / kBlockBytes * kBlockBytes;
  if (wholeBytes == 0) return true;
  if (!context_ && !open()) return false;
  // The codec may read a little past the packet; give it zeroed padding of
  // our own rather than trust whatever follows the payload.
  buffer_.assign(wholeBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::memcpy(buffer_.data(), payload, wholeBytes);
  packet_->data = buffer_.data();
  packet_->size = static_cast<int>(wholeBytes);
  const LibAv* av = libAv();
  if (av->sendPacket(context_, packet_) != 0) return false;
  for (;;) {
    const int result = av->receiveFrame(context_, frame_);
    if (result == AVERROR(EAGAIN)) return true;
    if (result != 0) return false;
    if (frame_->format != AV_SAMPLE_FMT_FLT && frame_->format != AV_SAMPLE_FMT_FLTP) {
      av->frameUnref(frame_);
      return false;
    }
    const auto* samples = reinterpret_cast<const float*>(frame_->data[0]);
    out.insert(out.end(), samples, samples + frame_->nb_samples);
    av->frameUnref(frame_);
  }
}

SpeexDecoder::~SpeexDecoder() {
  if (state_) speex_decoder_destroy(state_);
  if (bits_) {
    auto* bits = static_cast<SpeexBits*>(bits_);
    speex_bits_destroy(bits);
    delete bits;
  }
}

bool SpeexDecoder::open() {
  auto bits = std::make_unique<SpeexBits>();
  speex_bits_init(bits.get());
  bits_ = bits.release();
  state_ = speex_decoder_init(speex_lib_get_mode(SPEEX_MODEID_WB));
  if (!state_) return false;
  spx_int32_t frameSize = 0;
  speex_decoder_ctl(state_, SPEEX_GET_FRAME_SIZE, &frameSize);
  return frameSize == static_cast<spx_int32_t>(kFrameSamples);
}

bool SpeexDecoder::decode(const uint8_t* payload, size_t size, std::vector<float>& out,
                          const std::function<bool(const std::vector<float>&)>& emit) {
  if (size == 0) return true;
  if (!state_ && !open()) return false;
  auto* bits = static_cast<SpeexBits*>(bits_);
  // libspeex takes the payload's length as an int; an FLV tag is far below.
  speex_bits_read_from(bits, reinterpret_cast<const char*>(payload), static_cast<int>(size));
  spx_int16_t frame[kFrameSamples];
  out.clear();
  bool ended = false;
  while (!ended) {
    // Fewer than 5 bits left, or a terminator (0 then mode 15): the end of
    // the payload's frames, as the re-timing counts them.
    if (speex_bits_remaining(bits) < 5 || speex_bits_peek_unsigned(bits, 5) == 0xF) break;
    const int result = speex_decode_int(state_, bits, frame);
    if (result == -1) break;  // a terminator or the end, behind requests or layers
    if (result != 0) {
      std::memset(frame, 0, sizeof frame);  // the lost frame's length, in silence
      ended = true;
    }
    for (spx_int16_t sample : frame) out.push_back(static_cast<float>(sample) * (1.0f / 32768.0f));
    if (out.size() >= kBatchFrames * kFrameSamples) {
      if (!emit(out)) return false;
      out.clear();
    }
  }
  if (!out.empty() && !emit(out)) return false;
  out.clear();
  return true;
}

}  // namespace tonecast
