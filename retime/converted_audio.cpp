// Video re-timing against a converted audio track: the input's audio payloads
// are spread over the converted MP3's length in proportion to their bytes,
// while gaps (runs of empty audio tags) keep their stored length.
#include <string>

#include "retime/converted_audio.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"
#include "retime/wide_math.h"

namespace {

using namespace retime;

constexpr int32_t kAudioTag = 8;
constexpr int32_t kMediaReaderMode = 6;

// What the first pass learns: the audio bytes to spread, and the length of
// the track they cover once the closed gaps are taken out of it.
struct TrackLayout {
  int64_t totalBytes = 0;
  int64_t contentDuration = 0;
};

// False when the gaps of a damaged file add up past any real timeline.
bool layOutTrack(void* reader, int64_t trackDuration, TrackLayout* out) {
  TrackLayout layout{0, trackDuration};
  bool inGap = false;
  int64_t gapStart = 0;
  TagSlot tag;
  while (tag.next(reader, TARVEL_READ_HEADS)) {
    if (tag->tagType != kAudioTag) continue;
    int64_t stored = storedTicks(*tag);
    if (storedPayloadSize(*tag) == 0) {
      if (!inGap) {
        gapStart = stored;
        inGap = true;
      }
      continue;
    }
    // A gap still open at the end is never closed and takes nothing away.
    if (inGap) {
      layout.contentDuration += gapStart - stored;
      if (!withinTimeline(layout.contentDuration)) return false;
      inGap = false;
    }
    layout.totalBytes += storedPayloadSize(*tag);
  }
  *out = layout;
  return true;
}

// The second pass: where each audio tag lands in the converted track, and
// the drift that the video after it takes.
class TrackPlacement {
 public:
  explicit TrackPlacement(TrackLayout layout) : layout_(layout) {}

  // False when a non-empty tag turns up although the first pass counted no
  // audio bytes (the input changed between the passes), or when the gaps add
  // up past any real timeline.
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
    if (layout_.totalBytes == 0) return false;
    if (inGap_) {
      // The gap's own length goes in before the drift is taken, so that the
      // audio after it starts later in the track by exactly that much.
      gapTotal_ += stored - gapStart_;
      if (!withinTimeline(gapTotal_)) return false;
      drift_ = trackPosition(bytesSoFar_) - stored;
      inGap_ = false;
    } else {
      drift_ = audioClock_ - stored;
    }
    bytesSoFar_ += storedPayloadSize(tag);
    audioClock_ = trackPosition(bytesSoFar_);
    return true;
  }

  int64_t drift() const { return drift_; }

 private:
  // Long uncompressed tracks outgrow 64 bits in the product (44.1 kHz 16-bit
  // stereo after about 38 minutes), hence the wide multiply.
  int64_t trackPosition(int64_t bytes) const {
    return mulDivTruncate(bytes, layout_.contentDuration, layout_.totalBytes) + gapTotal_;
  }

  TrackLayout layout_;
  int64_t bytesSoFar_ = 0;
  int64_t gapTotal_ = 0;
  int64_t audioClock_ = 0;
  int64_t gapStart_ = 0;
  int64_t drift_ = 0;
  bool inGap_ = false;
};

}  // namespace

int readMediaInfo(const char* path, AvInfo* info) {
  void* reader = AVR_Create();
  if (!reader) return 0;
  if (!AVR_Open(reader, path, kMediaReaderMode)) {
    AVR_Delete(reader);
    return 0;
  }
  int filled = AVR_GetAVInfo(reader, info) != 0 ? 1 : 0;
  AVR_Close(reader);
  AVR_Delete(reader);
  return filled;
}

int retimeToConvertedAudio(const char* mp3Path, const char* inputPath, const char* flvPath) {
  // Checked first so that a refused call opens nothing.
  if (wouldOverwriteInput(inputPath, flvPath)) return 0;
  AvInfo info{};
  if (!readMediaInfo(mp3Path, &info)) return 0;
  return retimeVideoToTrack(inputPath, flvPath, info.duration);
}

int retimeVideoToTrack(const char* inputPath, const char* flvPath, int64_t trackDuration) {
  return runRepair(inputPath, flvPath, [trackDuration](void* reader, void* writer, FlvHeaderRecord& header) {
    TrackLayout layout;
    if (!layOutTrack(reader, trackDuration, &layout)) return false;
    TrackPlacement placement(layout);
    rewindReader(reader);
    return Flv_ReadHeader(reader, &header) && writeVideoFollowing(reader, writer, placement);
  });
}
