// Video re-timing for Nellymoser audio: the audio's length comes from the
// payloads themselves, 256 samples in every whole 64-byte block.
#include "retime/audio_holes.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace {

using namespace retime;

constexpr int32_t kNellymoser16kMono = 4;
constexpr int32_t kNellymoser8kMono = 5;
constexpr int64_t kBlockBytes = 64;
// 256 samples per block, in ticks per second.
constexpr int64_t kBlockTicksTimesRate = 256 * kTicksPerSecond;
// FLV SoundRate codes; the first is 5512 Hz exactly.
constexpr int32_t kSoundRates[4] = {5512, 11025, 22050, 44100};

// Floor division: a negative size (never read from a file) still rounds down.
int64_t wholeBlocks(int32_t payloadSize) {
  int64_t size = payloadSize;
  return size >= 0 ? size / kBlockBytes : -((-size + kBlockBytes - 1) / kBlockBytes);
}

// The audio's running position and the drift that the video after it takes.
// Each tag's length is truncated on its own before it is summed. A gap is a
// run of empty tags (of its stamped length) or a hole (of its step less the
// audio before it).
class NellymoserClock {
 public:
  // False when the audio adds up past any real timeline (a damaged file).
  bool place(const TagRecord& tag) {
    int64_t stored = storedTicks(tag);
    if (storedPayloadSize(tag) == 0) {
      holes_.emptyTag();
      if (!inGap_) {
        gapStart_ = stored;
        drift_ = audioClock_ - stored;
        inGap_ = true;
      }
      return true;
    }
    const int64_t length = nellymoserTagDuration(tag);
    const int64_t hole = holes_.sounding(stored, length);
    if (inGap_) {
      gapTotal_ += gapLength(gapStart_, stored);
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = contentClock_ + gapTotal_ - stored;
      inGap_ = false;
    } else if (hole > 0) {
      gapTotal_ += hole;
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = contentClock_ + gapTotal_ - stored;
    } else {
      drift_ = audioClock_ - stored;
    }
    contentClock_ += length;
    if (!withinTimeline(contentClock_)) return false;
    audioClock_ = contentClock_ + gapTotal_;
    return true;
  }

  void video(uint32_t storedMs, int32_t offset) { holes_.video(storedMs, offset); }
  int64_t drift() const { return drift_; }

 private:
  AudioHoles holes_;
  int64_t contentClock_ = 0;
  int64_t gapTotal_ = 0;
  int64_t audioClock_ = 0;
  int64_t gapStart_ = 0;
  int64_t drift_ = 0;
  bool inGap_ = false;
};

}  // namespace

int32_t nellymoserSampleRate(const TagRecord& tag) {
  if (tag.soundFormat == kNellymoser16kMono) return 16000;
  if (tag.soundFormat == kNellymoser8kMono) return 8000;
  if (tag.soundRate >= 0 && tag.soundRate <= 3) return kSoundRates[tag.soundRate];
  return -1;
}

int64_t nellymoserTagDuration(const TagRecord& tag) {
  return wholeBlocks(storedPayloadSize(tag)) * kBlockTicksTimesRate / nellymoserSampleRate(tag);
}

int retimeNellymoserVideo(const char* /*mp3Path*/, const char* inputPath, const char* flvPath) {
  return runRepair(inputPath, flvPath, [](void* reader, void* writer, FlvHeaderRecord& header) {
    int64_t leadingDrift = 0;
    if (!leadingVideoDrift(reader, header, &leadingDrift)) return false;
    NellymoserClock clock;
    return writeVideoFollowing(reader, writer, clock, leadingDrift);
  });
}
