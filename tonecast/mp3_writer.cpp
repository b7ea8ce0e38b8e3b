#include "tonecast/mp3_writer.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>

#include "extract/conversion_job.h"
#include "platform/process.h"

namespace tonecast {

namespace {

// LAME takes at most this many frames per call. Its output buffer is sized
// by LAME's own worst-case rule, 1.25 × samples + 7200 bytes, counting the
// samples that LAME encodes: at the output rate, up to 8 times as many as
// it is given when it resamples 5512 Hz to 44.1 kHz.
constexpr size_t kEncodeFrames = 8192;
constexpr size_t kFileBuffer = 1 << 18;

// Silence: MP3 frames of zeros that LAME encodes on either side of copied
// frames, so that the frames around the copies hold nothing but silence
// (LAME's look-ahead and overlap span under three frames), and the fewest
// copies worth the flush of the bit reservoir that they cost.
constexpr int kSilenceMarginFrames = 8;
constexpr int64_t kMinSilentCopies = 16;
constexpr int64_t kCopiesPerKeepAlive = 1 << 14;  // about 7 minutes of audio, 7 MB

// The LAME tag: "Info" or "Xing" right after the side information, then
// flags (frames, bytes, seek table and scale all present), the frame count,
// the byte count, 100 seek points, the scale, and LAME's part, which ends
// with the music length, the music CRC and the CRC of the tag frame so far.
constexpr size_t kTagFlags = 4, kTagFrames = 8, kTagBytes = 12, kTagToc = 16;
constexpr size_t kTagEncoder = 120, kTagMusicLength = 148, kTagMusicCrc = 152, kTagCrc = 154;
constexpr size_t kTagEnd = 156;
constexpr uint32_t kTagAllFields = 0x0F;

// The converter runs without a console: LAME's messages go nowhere.
void quiet(const char*, va_list) {}

// The CRC-16 of the LAME tag (polynomial 0x8005, reflected, from 0).
constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) {
    unsigned crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    table[n] = static_cast<uint16_t>(crc);
  }
  return table;
}();

uint16_t crc16(uint16_t crc, const unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFF]);
  return crc;
}

uint32_t readBig32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void writeBig32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void writeBig16(unsigned char* p, uint16_t value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

uint32_t saturated32(int64_t value) {
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

Mp3Writer::Mp3Writer(std::string path, int32_t bitRate, int32_t outRate)
    : path_(std::move(path)), bitRate_(bitRate), outRate_(outRate) {
  partialPath_ = converterPartialPath(path_, platform::currentProcessId());
}

Mp3Writer::~Mp3Writer() {
  if (lame_) lame_close(lame_);
  if (created_ && !committed_) {
    file_.close();
    platform::removeFile(partialPath_.c_str());
  }
}

bool Mp3Writer::begin(int32_t rate, int channels) {
  if (lame_ || bitRate_ < 8000 || bitRate_ > 320000) return false;
  lame_ = lame_init();
  if (!lame_) return false;
  lame_set_errorf(lame_, quiet);
  lame_set_debugf(lame_, quiet);
  lame_set_msgf(lame_, quiet);
  lame_set_in_samplerate(lame_, rate);
  lame_set_out_samplerate(lame_, outRate_);
  lame_set_num_channels(lame_, channels);
  lame_set_brate(lame_, bitRate_ / 1000);
  lame_set_VBR(lame_, vbr_off);
  lame_set_bWriteVbrTag(lame_, 1);
  lame_set_write_id3tag_automatic(lame_, 0);
  if (lame_init_params(lame_) < 0) return false;
  // The sample rate LAME settled on must be the one asked for: it picks the
  // nearest it supports when it does not support a rate.
  if (lame_get_out_samplerate(lame_) != outRate_) return false;
  inRate_ = rate;
  const int64_t encodedFrames =
      (static_cast<int64_t>(kEncodeFrames) * outRate_ + rate - 1) / rate + lame_get_framesize(lame_);
  encoded_.resize(static_cast<size_t>(encodedFrames * 5 / 4 + 7200));
  pending_.reserve(kFileBuffer);
  // The LAME tag's frame: a frame of the stream's bit rate, without padding.
  tagFrameBytes_ = static_cast<size_t>((lame_get_version(lame_) == 1 ? 144000 : 72000) *
                                       static_cast<int64_t>(lame_get_brate(lame_)) / outRate_);
  // A stale partial file of an earlier run that had our process id is ours
  // to replace; anything else at that path is not.
  if (!file_.open(partialPath_.c_str(), platform::File::Mode::kCreateNew)) {
    if (!platform::removeFile(partialPath_.c_str())) return false;
    if (!file_.open(partialPath_.c_str(), platform::File::Mode::kCreateNew)) return false;
  }
  created_ = true;
  return true;
}

bool Mp3Writer::write(const float* const* planes, size_t frames) {
  if (!lame_ || !file_.isOpen()) return false;
  for (size_t done = 0; done < frames;) {
    const size_t count = std::min(frames - done, kEncodeFrames);
    const int bytes = lame_encode_buffer_ieee_float(
        lame_, planes[0] + done, planes[1] + done, static_cast<int>(count), encoded_.data(),
        static_cast<int>(encoded_.size()));
    if (bytes < 0 || !writeOut(encoded_.data(), static_cast<size_t>(bytes), false)) return false;
    done += count;
  }
  return true;
}

bool Mp3Writer::writeZeros(int64_t frames) {
  if (zeros_.empty()) zeros_.assign(kEncodeFrames, 0.0f);
  const float* planes[2] = {zeros_.data(), zeros_.data()};
  for (; frames > 0; frames -= static_cast<int64_t>(kEncodeFrames)) {
    if (!write(planes, static_cast<size_t>(std::min<int64_t>(frames, kEncodeFrames)))) return false;
  }
  return true;
}

bool Mp3Writer::writeSilence(int64_t frames) {
  if (!lame_ || !file_.isOpen()) return false;
  // One MP3 frame stands for this many input frames (LAME resamples them).
  const double inputPerFrame = static_cast<double>(lame_get_framesize(lame_)) * inRate_ / outRate_;
  const auto margin = static_cast<int64_t>(std::ceil(kSilenceMarginFrames * inputPerFrame));
  const int64_t copies =
      frames > 2 * margin ? static_cast<int64_t>(static_cast<double>(frames - 2 * margin) / inputPerFrame) : 0;
  if (copies < kMinSilentCopies) return writeZeros(frames);
  if (!writeZeros(margin)) return false;
  if (!makeSilentFrame()) return writeZeros(frames - margin);
  const int bytes = lame_encode_flush_nogap(lame_, encoded_.data(), static_cast<int>(encoded_.size()));
  if (bytes < 0 || !writeOut(encoded_.data(), static_cast<size_t>(bytes), false)) return false;
  // The copies stand for a whole number of output frames; the input frames
  // that they replace are rounded, the remainder carried to the next gap so
  // that it never adds up.
  const double owed = static_cast<double>(copies) * inputPerFrame + silenceCarry_;
  const auto replaced = static_cast<int64_t>(std::llround(owed));
  silenceCarry_ = owed - static_cast<double>(replaced);
  for (int64_t i = 0; i < copies; ++i) {
    if (!writeOut(silentFrame_.data(), silentFrame_.size(), false)) return false;
    if (keepAlive_ && i % kCopiesPerKeepAlive == kCopiesPerKeepAlive - 1) keepAlive_();
  }
  copiedFrames_ += copies;
  return writeZeros(frames - margin - replaced);
}

// The silent frame takes the header of the tag frame that LAME wrote first
// (its version, rate, bit rate and channel mode) without padding or mode
// extension; side information of zeros has no main data and no reservoir,
// and decodes to zeros. Only for a stream with the LAME tag and no CRCs, and
// once LAME has encoded frames of its own.
bool Mp3Writer::makeSilentFrame() {
  if (!silentFrame_.empty()) return true;
  const bool header = head_[0] == 0xFF && (head_[1] & 0xE0) == 0xE0 && (head_[1] & 0x06) == 0x02;
  const bool noCrc = (head_[1] & 0x01) != 0;
  if (!header || !noCrc || lame_get_frameNum(lame_) == 0 || tagFrameBytes_ < 36 + kTagEnd ||
      tagFrameBytes_ > 2880 || streamBytes_ < static_cast<int64_t>(tagFrameBytes_)) {
    return false;
  }
  silentFrame_.assign(tagFrameBytes_, 0);
  silentFrame_[0] = head_[0];
  silentFrame_[1] = head_[1];
  silentFrame_[2] = static_cast<unsigned char>(head_[2] & ~0x02);
  silentFrame_[3] = static_cast<unsigned char>(head_[3] & ~0x30);
  return true;
}

// After copies were added, the tag that LAME made counts too few frames and
// bytes: both grow by the copies, the seek table becomes the straight line
// of a constant bit rate, and both CRCs are made again.
bool Mp3Writer::patchTag(unsigned char* tag, size_t size) const {
  const bool mpeg1 = (tag[1] & 0x08) != 0;
  const bool mono = (tag[3] >> 6) == 3;
  const size_t at = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  if (size < at + kTagEnd || size != tagFrameBytes_) return false;
  if (std::memcmp(tag + at, "Info", 4) != 0 && std::memcmp(tag + at, "Xing", 4) != 0) return false;
  if (readBig32(tag + at + kTagFlags) != kTagAllFields || std::memcmp(tag + at + kTagEncoder, "LAME", 4) != 0) {
    return false;
  }
  const int64_t frames = readBig32(tag + at + kTagFrames) + copiedFrames_;
  const int64_t bytes = readBig32(tag + at + kTagBytes) + copiedFrames_ * static_cast<int64_t>(silentFrame_.size());
  writeBig32(tag + at + kTagFrames, saturated32(frames));
  writeBig32(tag + at + kTagBytes, saturated32(bytes));
  for (size_t i = 0; i < 100; ++i) tag[at + kTagToc + i] = static_cast<unsigned char>(i * 256 / 100);
  writeBig32(tag + at + kTagMusicLength, saturated32(bytes));
  writeBig16(tag + at + kTagMusicCrc, musicCrc_);
  writeBig16(tag + at + kTagCrc, crc16(0, tag, at + kTagCrc));
  return true;
}

bool Mp3Writer::commit() {
  if (!lame_ || !file_.isOpen()) return false;
  const int bytes = lame_encode_flush(lame_, encoded_.data(), static_cast<int>(encoded_.size()));
  if (bytes < 0 || !writeOut(encoded_.data(), static_cast<size_t>(bytes), true)) return false;
  // The encoder wrote a placeholder of the LAME tag's size as the first
  // frame; the real tag knows the frame count, delay and padding.
  unsigned char tag[2880];
  const size_t tagSize = lame_get_lametag_frame(lame_, tag, sizeof tag);
  if (tagSize == 0 || tagSize > sizeof tag) return false;
  if (copiedFrames_ > 0 && !patchTag(tag, tagSize)) return false;
  if (!file_.writeAt(tag, static_cast<int64_t>(tagSize), 0)) return false;
  if (!file_.sync() || !file_.close()) return false;
  if (!platform::replaceFile(partialPath_.c_str(), path_.c_str())) {
    platform::removeFile(partialPath_.c_str());
    return false;
  }
  committed_ = true;
  return true;
}

bool Mp3Writer::writeOut(const unsigned char* bytes, size_t size, bool force) {
  for (size_t i = 0; i < size && streamBytes_ + static_cast<int64_t>(i) < 4; ++i) {
    head_[streamBytes_ + static_cast<int64_t>(i)] = bytes[i];
  }
  const auto skip = static_cast<size_t>(
      std::clamp<int64_t>(static_cast<int64_t>(tagFrameBytes_) - streamBytes_, 0, static_cast<int64_t>(size)));
  musicCrc_ = crc16(musicCrc_, bytes + skip, size - skip);
  streamBytes_ += static_cast<int64_t>(size);
  pending_.insert(pending_.end(), bytes, bytes + size);
  if (pending_.size() < kFileBuffer && !force) return true;
  const bool written = file_.write(pending_.data(), static_cast<int64_t>(pending_.size()));
  pending_.clear();
  return written;
}

}  // namespace tonecast
