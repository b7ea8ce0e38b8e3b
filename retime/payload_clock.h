// The audio clock of the video re-timers that read the audio's length from
// the payloads themselves (Nellymoser blocks, Speex frames).
#pragma once

#include <cstdint>

#include "retime/timeline.h"

namespace retime {

// The audio's running position and the drift that the video after it
// takes. Each tag's length (tagLength) is truncated on its own before it is
// summed; a gap (a run of empty audio tags) keeps its stamped length.
template <int64_t (*tagLength)(const TagRecord&)>
class PayloadClock {
 public:
  // False when the audio adds up past any real timeline (a damaged file).
  bool place(const TagRecord& tag) {
    int64_t stored = storedTicks(tag);
    if (storedPayloadSize(tag) == 0) {
      if (!inGap_) {
        gapStart_ = stored;
        drift_ = audioClock_ - stored;
        inGap_ = true;
      }
      return true;
    }
    if (inGap_) {
      gapTotal_ += gapLength(gapStart_, stored);
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = contentClock_ + gapTotal_ - stored;
      inGap_ = false;
    } else {
      drift_ = audioClock_ - stored;
    }
    contentClock_ += tagLength(tag);
    if (!withinTimeline(contentClock_)) return false;
    audioClock_ = contentClock_ + gapTotal_;
    return true;
  }

  int64_t drift() const { return drift_; }

 private:
  int64_t contentClock_ = 0;
  int64_t gapTotal_ = 0;
  int64_t audioClock_ = 0;
  int64_t gapStart_ = 0;
  int64_t drift_ = 0;
  bool inGap_ = false;
};

}  // namespace retime
