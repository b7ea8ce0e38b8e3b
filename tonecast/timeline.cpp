#include "tonecast/timeline.h"

#include <algorithm>
#include <cmath>

namespace tonecast {

namespace {

constexpr int32_t kSoundRates[4] = {5512, 11025, 22050, 44100};

bool isPcm(int32_t format) { return format == 0 || format == 3; }

// The silence is written in slices so that a long gap never needs a buffer
// of its own length.
constexpr size_t kSilenceSlice = 8192;

}  // namespace

StreamShape shapeOfTag(const AudioTag& tag) {
  const bool rateKnown = tag.soundRate >= 0 && tag.soundRate < 4;
  switch (tag.soundFormat) {
    case 0:
    case 3:
      if (!rateKnown) return {};
      return {kSoundRates[tag.soundRate], tag.soundType == 1 ? 2 : 1};
    case 4:
      return {16000, 1};
    case 5:
      return {8000, 1};
    case 6:
      if (!rateKnown) return {};
      return {kSoundRates[tag.soundRate], 1};
    default:
      return {};
  }
}

void RateConverter::convert(const std::vector<float>* in, int channels, int32_t inRate,
                            int32_t outRate, std::vector<float>* out) {
  const size_t frames = in[0].size();
  if (frames == 0) return;
  if (inRate == outRate) {
    for (int c = 0; c < channels; ++c) {
      out[c].insert(out[c].end(), in[c].begin(), in[c].end());
      previous_[c] = in[c].back();
    }
    position_ = 0.0;
    inRate_ = inRate;
    return;
  }
  // A change of input rate keeps the fractional position in time.
  if (inRate_ != 0 && inRate_ != inRate) position_ = position_ * inRate / inRate_;
  inRate_ = inRate;
  const double step = static_cast<double>(inRate) / outRate;
  const double last = static_cast<double>(frames - 1);
  for (; position_ <= last; position_ += step) {
    const double floorPosition = std::floor(position_);
    const auto index = static_cast<ptrdiff_t>(floorPosition);
    const auto fraction = static_cast<float>(position_ - floorPosition);
    for (int c = 0; c < channels; ++c) {
      const float a = index < 0 ? previous_[c] : in[c][static_cast<size_t>(index)];
      const float b = index + 1 < static_cast<ptrdiff_t>(frames) ? in[c][static_cast<size_t>(index + 1)]
                                                                 : a;
      out[c].push_back(a + (b - a) * fraction);
    }
  }
  position_ -= static_cast<double>(frames);
  for (int c = 0; c < channels; ++c) previous_[c] = in[c].back();
}

Timeline::Result Timeline::add(const AudioTag& tag) {
  if (tag.payloadSize == 0) {
    if (!inGap_) {
      inGap_ = true;
      gapStartMs_ = tag.storedMs;
    }
    return Result::kOk;
  }
  const StreamShape shape = shapeOfTag(tag);
  if (shape.rate == 0) return Result::kUnsupportedFormat;
  if (stream_.rate == 0) {
    if (!sink_.begin(shape.rate, shape.channels)) return Result::kSinkFailed;
    stream_ = shape;
  }
  if (inGap_) {
    const Result closed = closeGap(tag.storedMs);
    if (closed != Result::kOk) return closed;
  }
  return decode(tag, shape);
}

Timeline::Result Timeline::finish() {
  if (stream_.rate == 0) {
    StreamShape shape = fallback_;
    if (shape.rate < 1000 || shape.rate > 192000) shape.rate = 44100;
    if (shape.channels != 1 && shape.channels != 2) shape.channels = 1;
    if (!sink_.begin(shape.rate, shape.channels)) return Result::kSinkFailed;
    stream_ = shape;
  }
  return Result::kOk;
}

Timeline::Result Timeline::closeGap(uint32_t storedMs) {
  inGap_ = false;
  // A closing tag stored before the opening one (a clock that went back)
  // gives no silence; it cannot take back audio already written.
  const int64_t length = static_cast<int64_t>(storedMs) - static_cast<int64_t>(gapStartMs_);
  if (length > kMaxGapMs) return Result::kImplausibleGap;
  closedGapMs_ += std::max<int64_t>(length, 0);
  if (closedGapMs_ > kMaxTotalGapMs) return Result::kImplausibleGap;
  // The silence written so far follows the total of the gaps, rounded once,
  // so that rounding never accumulates over many gaps.
  const int64_t target = (closedGapMs_ * stream_.rate + 500) / 1000;
  const int64_t frames = target - silenceWritten_;
  silenceWritten_ = target;
  return emitSilence(frames);
}

Timeline::Result Timeline::decode(const AudioTag& tag, StreamShape shape) {
  decoded_.clear();
  if (isPcm(tag.soundFormat)) {
    decodePcm(tag.payload, tag.payloadSize, tag.soundSize == 1, shape.channels, decoded_);
  } else if (!nellymoser_.decode(tag.payload, tag.payloadSize, decoded_)) {
    return Result::kDecodeFailed;
  }
  return emit(decoded_, shape);
}

Timeline::Result Timeline::emit(const std::vector<float>& interleaved, StreamShape shape) {
  const size_t frames = interleaved.size() / static_cast<size_t>(shape.channels);
  if (frames == 0) return Result::kOk;
  std::vector<float>* target = mapped_;
  for (int c = 0; c < stream_.channels; ++c) target[c].resize(frames);
  for (size_t i = 0; i < frames; ++i) {
    if (shape.channels == stream_.channels) {
      for (int c = 0; c < stream_.channels; ++c) target[c][i] = interleaved[i * shape.channels + c];
    } else if (stream_.channels == 2) {  // mono into stereo
      target[0][i] = target[1][i] = interleaved[i];
    } else {  // stereo into mono
      target[0][i] = 0.5f * (interleaved[2 * i] + interleaved[2 * i + 1]);
    }
  }
  for (int c = 0; c < stream_.channels; ++c) planes_[c].clear();
  rateConverter_.convert(target, stream_.channels, shape.rate, stream_.rate, planes_);
  return write(planes_[0].size()) ? Result::kOk : Result::kSinkFailed;
}

Timeline::Result Timeline::emitSilence(int64_t frames) {
  while (frames > 0) {
    const auto slice = static_cast<size_t>(std::min<int64_t>(frames, kSilenceSlice));
    for (int c = 0; c < stream_.channels; ++c) planes_[c].assign(slice, 0.0f);
    if (!write(slice)) return Result::kSinkFailed;
    frames -= static_cast<int64_t>(slice);
  }
  return Result::kOk;
}

bool Timeline::write(size_t frames) {
  if (frames == 0) return true;
  const float* planes[2] = {planes_[0].data(), planes_[stream_.channels == 2 ? 1 : 0].data()};
  framesWritten_ += static_cast<int64_t>(frames);
  return sink_.write(planes, frames);
}

}  // namespace tonecast
