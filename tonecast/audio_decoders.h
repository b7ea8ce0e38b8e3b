// Decoders for the audio formats that reach the converter: uncompressed PCM,
// Nellymoser and Speex. All produce interleaved float samples in [-1, 1].
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tonecast {

// Appends the samples of a PCM payload to out. 8-bit samples are unsigned
// (128 is silence); 16-bit samples are signed little-endian, the byte order
// of the players that record FLV. Bytes beyond the last whole sample frame
// (one sample per channel) are ignored. Returns the frames appended.
size_t decodePcm(const uint8_t* payload, size_t size, bool sixteenBit, int channels,
                 std::vector<float>& out);

// Nellymoser (mono): every whole 64-byte block of payload holds 256 samples.
// One decoder serves a whole stream, since the codec overlaps each block
// with the one before it.
class NellymoserDecoder {
 public:
  static constexpr size_t kBlockBytes = 64;
  static constexpr size_t kBlockSamples = 256;

  NellymoserDecoder() = default;
  NellymoserDecoder(const NellymoserDecoder&) = delete;
  NellymoserDecoder& operator=(const NellymoserDecoder&) = delete;
  ~NellymoserDecoder();

  // Appends the samples of the payload's whole blocks to out; bytes beyond
  // the last whole block are ignored. False when the codec is missing or
  // fails; out then holds what was decoded before the failure. A damaged
  // block (a sample not finite or far past full scale) is decoded as
  // silence of its length; samples a little past full scale are clamped.
  bool decode(const uint8_t* payload, size_t size, std::vector<float>& out);

 private:
  bool open();
  bool decodeBlocks(const uint8_t* payload, size_t size, std::vector<float>& out);

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::vector<uint8_t> buffer_;  // whole blocks plus the codec's padding
};

// Speex as FLV carries it: 16 kHz mono wideband, whatever the tag's flags
// say, one or more 20 ms frames of 320 samples per payload. One decoder
// serves a whole stream, since each frame builds on the one before it.
class SpeexDecoder {
 public:
  static constexpr size_t kFrameSamples = 320;
  static constexpr int32_t kRate = 16000;
  // Frames handed to the caller at once: a payload of millions of tiny
  // frames (a damaged one) never needs more memory than this.
  static constexpr size_t kBatchFrames = 50;

  SpeexDecoder() = default;
  SpeexDecoder(const SpeexDecoder&) = delete;
  SpeexDecoder& operator=(const SpeexDecoder&) = delete;
  ~SpeexDecoder();

  // Decodes every frame of the payload, as many as the Speex frame counter
  // of the video re-timing finds in it, and hands them to emit in order, a
  // batch of at most kBatchFrames at a time (out cleared before each
  // batch). A frame that cannot be decoded gives 320 samples of silence and
  // ends the payload, since the next frame's start is unknown after it.
  // False when the codec cannot be set up or emit returns false.
  bool decode(const uint8_t* payload, size_t size, std::vector<float>& out,
              const std::function<bool(const std::vector<float>&)>& emit);

 private:
  bool open();

  void* state_ = nullptr;
  void* bits_ = nullptr;  // a SpeexBits, kept out of this header
};

}  // namespace tonecast
