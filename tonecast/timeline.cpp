#include "tonecast/timeline.h"

#include <algorithm>
#include <cmath>

#include "libs/tarvel/audio_length.h"

namespace tonecast {

namespace {


// The silence is written in slices so that a long gap never needs a buffer
// of its own length.
constexpr size_t kSilenceSlice = 8192;

// A stored time with the top bit set is negative in the format's signed
// reading: a clock that wrapped, never the time of a real tag.
constexpr int64_t kWrappedMs = int64_t{1} << 31;
bool wrapped(uint32_t storedMs) { return storedMs >= kWrappedMs; }

}  // namespace

bool SampleSink::writeSilence(int64_t frames) {
  std::vector<float> zeros(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(frames, 0), kSilenceSlice)));
  const float* planes[2] = {zeros.data(), zeros.data()};
  while (frames > 0) {
    const auto slice = static_cast<size_t>(std::min<int64_t>(frames, kSilenceSlice));
    if (!write(planes, slice)) return false;
    frames -= static_cast<int64_t>(slice);
  }
  return true;
}

int64_t tagTicks(const AudioTag& tag) {
  const flv::AudioShape shape = flv::audioShapeOf(tag.soundFormat, tag.soundRate, tag.soundSize, tag.soundType);
  if (shape.rate <= 0) return 0;
  const auto bytes = static_cast<int64_t>(tag.payloadSize);
  switch (shape.rule) {
    case flv::LengthRule::kPcm: return flv::pcmTicks(bytes, shape);
    case flv::LengthRule::kNellymoser: return flv::nellymoserTicks(bytes, shape.rate);
    default: return 0;
  }
}

StreamShape shapeOfTag(const AudioTag& tag) {
  const flv::AudioShape shape = flv::audioShapeOf(tag.soundFormat, tag.soundRate, tag.soundSize, tag.soundType);
  const bool decoded = shape.rule == flv::LengthRule::kPcm || shape.rule == flv::LengthRule::kNellymoser;
  if (!decoded || shape.rate == 0) return {};
  return {shape.rate, shape.channels};
}

void RateConverter::convert(const std::vector<float>* in, int channels, int32_t inRate,
                            int32_t outRate, std::vector<float>* out) {
  const size_t frames = in[0].size();
  if (frames == 0) return;
  // A change of input rate keeps both positions in time: the sample of the
  // chunk before then lies further than one new sample back, or nearer.
  if (inRate_ != 0 && inRate_ != inRate) {
    const double scale = static_cast<double>(inRate) / inRate_;
    position_ *= scale;
    previousAt_ *= scale;
  }
  inRate_ = inRate;
  const double step = static_cast<double>(inRate) / outRate;
  // Between the chunk before and this one: from previous_ to in[0].
  for (; position_ < 0.0; position_ += step) {
    const double fraction = std::clamp((position_ - previousAt_) / -previousAt_, 0.0, 1.0);
    for (int c = 0; c < channels; ++c) {
      out[c].push_back(previous_[c] + (in[c][0] - previous_[c]) * static_cast<float>(fraction));
    }
  }
  previousAt_ = -1.0;
  for (int c = 0; c < channels; ++c) previous_[c] = in[c].back();
  if (inRate == outRate) {
    // Copied as they are; what is left of a fraction from another rate
    // (under one sample) is dropped rather than smeared over the stream.
    for (int c = 0; c < channels; ++c) out[c].insert(out[c].end(), in[c].begin(), in[c].end());
    position_ = 0.0;
    return;
  }
  const double last = static_cast<double>(frames - 1);
  for (; position_ <= last; position_ += step) {
    const double floorPosition = std::floor(position_);
    const auto index = static_cast<size_t>(floorPosition);
    const auto fraction = static_cast<float>(position_ - floorPosition);
    for (int c = 0; c < channels; ++c) {
      const float a = in[c][index];
      const float b = index + 1 < frames ? in[c][index + 1] : a;
      out[c].push_back(a + (b - a) * fraction);
    }
  }
  position_ -= static_cast<double>(frames);
}

void Timeline::surveyVideo(uint32_t storedMs) {
  if (wrapped(storedMs)) return;
  earliestMs_ = anyStamp_ ? std::min(earliestMs_, storedMs) : storedMs;
  latestMs_ = anyStamp_ ? std::max(latestMs_, storedMs) : storedMs;
  anyStamp_ = true;
}

void Timeline::survey(const AudioTag& tag) {
  surveyVideo(tag.storedMs);
  if (!wrapped(tag.storedMs)) {
    if (!surveyedStamp_) firstStampMs_ = tag.storedMs;
    surveyedStamp_ = true;
    lastStampMs_ = tag.storedMs;
  }
  if (tag.payloadSize == 0) return;
  const StreamShape shape = shapeOfTag(tag);
  surveyed_.rate = std::max(surveyed_.rate, shape.rate);
  surveyed_.channels = std::max(surveyed_.channels, shape.channels);
}

Timeline::Result Timeline::add(const AudioTag& tag) {
  if (tag.payloadSize == 0) {
    holes_.emptyTag();
    if (!inGap_) {
      inGap_ = true;
      gapStartMs_ = tag.storedMs;
    }
    return Result::kOk;
  }
  const int64_t hole = holes_.sounding(int64_t{tag.storedMs} * retime::AudioHoles::kTicksPerMs, tagTicks(tag));
  const StreamShape shape = shapeOfTag(tag);
  if (shape.rate == 0) return Result::kUnsupportedFormat;
  if (stream_.rate == 0) {
    const StreamShape begun = surveyed_.rate > 0 ? surveyed_ : shape;
    if (!sink_.begin(begun.rate, begun.channels)) return Result::kSinkFailed;
    stream_ = begun;
  }
  if (inGap_) {
    const Result closed = closeGap(tag.storedMs);
    if (closed != Result::kOk) return closed;
  } else if (hole > 0) {
    const int64_t spanTicks = (int64_t{latestMs_} - earliestMs_) * retime::AudioHoles::kTicksPerMs;
    if (silenceTicks_ + hole > spanTicks) return Result::kImplausibleGap;
    const Result filled = addGapSilence(hole);
    if (filled != Result::kOk) return filled;
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
  // The Nellymoser samples dropped at the start, made up at the end.
  if (nellymoserDropped_ > 0) {
    const std::vector<float> zeros(nellymoserDropped_, 0.0f);
    nellymoserDropped_ = 0;
    return emit(zeros, {nellymoserRate_, 1});
  }
  return Result::kOk;
}

Timeline::Result Timeline::closeGap(uint32_t storedMs) {
  inGap_ = false;
  // A closing tag stored before the opening one (a clock that went back, or
  // an opening time that wrapped below zero) gives no silence; it cannot
  // take back audio already written.
  const int64_t length = std::max<int64_t>(static_cast<int64_t>(storedMs) - gapStartMs_, 0);
  if (length >= kWrappedMs) return Result::kImplausibleGap;
  closedGapMs_ += length;
  if (surveyedStamp_) {
    const int64_t span = std::max<int64_t>(static_cast<int64_t>(lastStampMs_) - firstStampMs_, 0);
    if (length > span || closedGapMs_ > span) return Result::kImplausibleGap;
  }
  return addGapSilence(length * retime::AudioHoles::kTicksPerMs);
}

Timeline::Result Timeline::addGapSilence(int64_t ticks) {
  // The silence written so far follows the total of the gaps, rounded once,
  // so that rounding never accumulates over many gaps.
  constexpr int64_t kTicksPerSecond = 10000000;
  silenceTicks_ += ticks;
  const int64_t target = (silenceTicks_ * stream_.rate + kTicksPerSecond / 2) / kTicksPerSecond;
  const int64_t frames = target - silenceWritten_;
  silenceWritten_ = target;
  return emitSilence(frames);
}

Timeline::Result Timeline::decode(const AudioTag& tag, StreamShape shape) {
  decoded_.clear();
  if (flv::lengthRuleOf(tag.soundFormat) == flv::LengthRule::kPcm) {
    decodePcm(tag.payload, tag.payloadSize, tag.soundSize == 1, shape.channels, decoded_);
  } else {
    if (!nellymoser_.decode(tag.payload, tag.payloadSize, decoded_)) return Result::kDecodeFailed;
    nellymoserRate_ = shape.rate;
    if (nellymoserDropped_ < kNellymoserDelay) {
      const size_t drop = std::min(kNellymoserDelay - nellymoserDropped_, decoded_.size());
      decoded_.erase(decoded_.begin(), decoded_.begin() + static_cast<ptrdiff_t>(drop));
      nellymoserDropped_ += drop;
    }
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
  if (frames <= 0) return Result::kOk;
  framesWritten_ += frames;
  return sink_.writeSilence(frames) ? Result::kOk : Result::kSinkFailed;
}

bool Timeline::write(size_t frames) {
  if (frames == 0) return true;
  const float* planes[2] = {planes_[0].data(), planes_[stream_.channels == 2 ? 1 : 0].data()};
  framesWritten_ += static_cast<int64_t>(frames);
  return sink_.write(planes, frames);
}

}  // namespace tonecast
