// A hole needs two things at once: far more time between two sounding audio
// tags than the first one plays, and picture all through that time. The
// first alone is also a clock jump (both streams step), which the repairs
// take out of the timeline; the second alone is any stretch of a file.
#include "retime/audio_holes.h"

#include <algorithm>

namespace retime {

namespace {

// Fewer steps than this give no pace: a hole needs a picture that has one.
constexpr size_t kMinPaceSteps = 3;

}  // namespace

void AudioHoles::video(uint32_t storedMs, int32_t compositionOffset) {
  const int64_t stored = int64_t{storedMs} * kTicksPerMs;
  if (compositionOffset != 0 && !audioSeen_) reorderedBeforeAudio_ = true;
  if (lastVideo_ >= 0 && stored > lastVideo_) steps_[stepCount_++ % kPaceSteps] = stored - lastVideo_;
  lastVideo_ = stored;
  if (!stepOpen_) {
    // Picture before any audio: the step to the first sounding tag starts
    // at the first picture.
    stepOpen_ = true;
    audioEnd_ = covered_ = stored;
    widest_ = 0;
    return;
  }
  if (stored > covered_) {
    widest_ = std::max(widest_, stored - covered_);
    covered_ = stored;
  }
}

int64_t AudioHoles::pace() const {
  const size_t count = std::min(stepCount_, kPaceSteps);
  if (count < kMinPaceSteps) return 0;
  std::array<int64_t, kPaceSteps> sorted = steps_;
  std::nth_element(sorted.begin(), sorted.begin() + count / 2, sorted.begin() + count);
  return sorted[count / 2];
}

int64_t AudioHoles::sounding(int64_t stored, int64_t length) {
  int64_t hole = 0;
  if (stepOpen_ && !afterEmpty_) {
    const int64_t excess = stored - audioEnd_;
    const int64_t framePace = pace();
    if (!audioSeen_ && reorderedBeforeAudio_ && excess > 0) {
      hole = excess;
    } else if (framePace > 0 && excess >= std::max(kMinHole, 4 * framePace)) {
      const int64_t widest = std::max(widest_, stored - covered_);
      if (widest <= 2 * framePace + kCoverSlack) hole = excess;
    }
  }
  afterEmpty_ = false;
  audioSeen_ = true;
  stepOpen_ = true;
  covered_ = stored;
  audioEnd_ = stored + std::max<int64_t>(length, 0);
  widest_ = 0;
  return hole;
}

}  // namespace retime
