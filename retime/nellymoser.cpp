// Video re-timing for Nellymoser audio: the audio's length comes from the
// payloads themselves, 256 samples in every whole 64-byte block.
#include "libs/tarvel/audio_length.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace {

using namespace retime;

// The audio's running position and the drift that the video after it takes.
// Each tag's length is truncated on its own before it is summed.
class NellymoserClock {
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
    contentClock_ += nellymoserTagDuration(tag);
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

}  // namespace

int32_t nellymoserSampleRate(const TagRecord& tag) {
  const int32_t rate = flv::sampleRateOf(tag.soundFormat, tag.soundRate);
  return rate > 0 ? rate : -1;
}

int64_t nellymoserTagDuration(const TagRecord& tag) {
  return flv::nellymoserTicks(storedPayloadSize(tag), nellymoserSampleRate(tag));
}

int retimeNellymoserVideo(const char* /*mp3Path*/, const char* inputPath, const char* flvPath) {
  return runRepair(inputPath, flvPath, [](void* reader, void* writer, FlvHeaderRecord& header) {
    int64_t leadingDrift = 0;
    if (!leadingVideoDrift(reader, header, &leadingDrift)) return false;
    NellymoserClock clock;
    return writeVideoFollowing(reader, writer, clock, leadingDrift);
  });
}
