#include "tonecast/mp3_writer.h"

#include <lame/lame.h>

#include <algorithm>
#include <cstdarg>

#include "extract/conversion_job.h"
#include "platform/process.h"

namespace tonecast {

namespace {

// LAME takes at most this many frames per call; its output buffer is sized
// by LAME's own worst-case rule, 1.25 × samples + 7200 bytes.
constexpr size_t kEncodeFrames = 8192;
constexpr size_t kEncodedBytes = kEncodeFrames * 5 / 4 + 7200;
constexpr size_t kFileBuffer = 1 << 18;

// The converter runs without a console: LAME's messages go nowhere.
void quiet(const char*, va_list) {}

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
  encoded_.resize(kEncodedBytes);
  pending_.reserve(kFileBuffer);
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

bool Mp3Writer::commit() {
  if (!lame_ || !file_.isOpen()) return false;
  const int bytes = lame_encode_flush(lame_, encoded_.data(), static_cast<int>(encoded_.size()));
  if (bytes < 0 || !writeOut(encoded_.data(), static_cast<size_t>(bytes), true)) return false;
  // The encoder wrote a placeholder of the LAME tag's size as the first
  // frame; the real tag knows the frame count, delay and padding.
  unsigned char tag[2880];
  const size_t tagSize = lame_get_lametag_frame(lame_, tag, sizeof tag);
  if (tagSize == 0 || tagSize > sizeof tag) return false;
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
  pending_.insert(pending_.end(), bytes, bytes + size);
  if (pending_.size() < kFileBuffer && !force) return true;
  const bool written = file_.write(pending_.data(), static_cast<int64_t>(pending_.size()));
  pending_.clear();
  return written;
}

}  // namespace tonecast
