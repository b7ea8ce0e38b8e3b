// Video re-timing against a converted audio track: the input's audio payloads
// are spread over the converted MP3's length in proportion to how long they
// play (their bytes, weighed by each tag's own bytes per second), while gaps
// (runs of empty audio tags) keep their stored length and holes (sound lost
// while the picture went on) the length of their step less the audio before.
#include <string>

#include "libs/tarvel/audio_length.h"
#include "libs/tarvel/flv_format.h"
#include "retime/audio_clocks.h"
#include "retime/audio_holes.h"
#include "retime/converted_audio.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"
#include "retime/wide_math.h"

namespace {

using namespace retime;

constexpr int32_t kMediaReaderMode = 6;

// A byte of audio weighs kWeightUnit divided by its tag's bytes per second:
// how long it plays, in units of 1/kWeightUnit s. The unit is a multiple of
// every rate a tag can give (PCM: 5512-44100 Hz times 1, 2 or 4 bytes a
// frame; Nellymoser: 64 bytes for 256 samples at 8, 16 kHz or the rate
// index's), so each weight is a whole number; and since every byte of one
// format weighs the same, a file of one format throughout is spread exactly
// as by its bytes alone.
constexpr int64_t kWeightUnit = 4'861'584'000;
// Nellymoser samples per payload byte.
constexpr int64_t kNellymoserSamplesPerByte = flv::kNellymoserBlockSamples / flv::kNellymoserBlockBytes;
constexpr bool weightsAreWhole() {
  for (int64_t rate : flv::kSoundRates) {
    for (int64_t frameBytes : {1, 2, 4})
      if (kWeightUnit % (rate * frameBytes) != 0) return false;
    if (kWeightUnit * kNellymoserSamplesPerByte % rate != 0) return false;
  }
  return kWeightUnit * kNellymoserSamplesPerByte % flv::sampleRateOf(flv::kNellymoser8kMono, 0) == 0 &&
         kWeightUnit * kNellymoserSamplesPerByte % flv::sampleRateOf(flv::kNellymoser16kMono, 0) == 0;
}
static_assert(weightsAreWhole());

int64_t byteWeight(const TagRecord& tag) {
  const flv::AudioShape shape = flv::audioShapeOf(tag.soundFormat, tag.soundRate & 3, tag.soundSize, tag.soundType);
  if (shape.rule == flv::LengthRule::kNellymoser) return kWeightUnit * kNellymoserSamplesPerByte / shape.rate;
  // PCM, and anything else by its flags.
  return kWeightUnit / (int64_t{shape.rate} * shape.frameBytes);
}

// Sign-extended like the size itself: a negative size (never read from a
// file) still weighs against the total.
int64_t tagWeight(const TagRecord& tag) { return int64_t{storedPayloadSize(tag)} * byteWeight(tag); }

// What the first pass learns: the audio weight to spread, the length of the
// track it covers once the closed gaps are taken out of it, and the first
// audio tag's drift.
struct TrackLayout {
  int64_t totalWeight = 0;
  int64_t contentDuration = 0;
  int64_t leadingDrift = 0;
};

// False when the gaps or the audio of a damaged file add up past any real
// timeline.
bool layOutTrack(void* reader, int64_t trackDuration, TrackLayout* out) {
  TrackLayout layout{0, trackDuration, 0};
  bool inGap = false;
  bool audioSeen = false;
  int64_t gapStart = 0;
  AudioHoles holes;
  TagSlot tag;
  while (tag.next(reader, TARVEL_READ_HEADS)) {
    if (tag->tagType == flv::kVideo) holes.video(tag->timestamp, compositionOffset(*tag));
    if (tag->tagType != flv::kAudio) continue;
    int64_t stored = storedTicks(*tag);
    const bool empty = storedPayloadSize(*tag) == 0;
    // As the second pass's clock measures it.
    const int64_t hole = empty ? 0 : holes.sounding(stored, audioTagTicks(*tag));
    if (!audioSeen) {
      // The first audio tag starts the track at 0 (or after the hole before
      // it), and the video before it moves with it.
      layout.leadingDrift = hole - stored;
      audioSeen = true;
    }
    if (empty) {
      holes.emptyTag();
      if (!inGap) {
        gapStart = stored;
        inGap = true;
      }
      continue;
    }
    // A gap still open at the end is never closed and takes nothing away.
    if (inGap) {
      layout.contentDuration -= gapLength(gapStart, stored);
      if (!withinTimeline(layout.contentDuration)) return false;
      inGap = false;
    } else if (hole > 0) {
      layout.contentDuration -= hole;
      if (!withinTimeline(layout.contentDuration)) return false;
    }
    layout.totalWeight += tagWeight(*tag);
    if (!withinTimeline(layout.totalWeight)) return false;
  }
  *out = layout;
  return true;
}

// The second pass: the converted track's content spread over the audio by
// weight, so that each tag lands where its share of the track starts.
class TrackContent {
 public:
  explicit TrackContent(TrackLayout layout) : layout_(layout) {}

  // A non-empty tag although the first pass weighed no audio: the input
  // changed between the passes.
  bool ready() const { return layout_.totalWeight != 0; }
  bool add(const TagRecord& tag) {
    weightSoFar_ += tagWeight(tag);
    return withinTimeline(weightSoFar_);
  }
  // The product outgrows 64 bits on any long track, hence the wide multiply.
  int64_t position() const { return mulDivTruncate(weightSoFar_, layout_.contentDuration, layout_.totalWeight); }

 private:
  TrackLayout layout_;
  int64_t weightSoFar_ = 0;
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
    GapClock<TrackContent> placement(TrackContent{layout});
    rewindReader(reader);
    return Flv_ReadHeader(reader, &header) && writeVideoFollowing(reader, writer, placement, layout.leadingDrift);
  });
}
