// Decoders for the audio formats that reach the converter: uncompressed PCM
// and Nellymoser. Both produce interleaved float samples in [-1, 1].
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace tonecast
