// Video re-timing for Nellymoser audio: the audio's length comes from the
// payloads themselves, 256 samples in every whole 64-byte block.
#include "retime/payload_clock.h"
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
    PayloadClock<nellymoserTagDuration> clock;
    return writeVideoFollowing(reader, writer, clock, leadingDrift);
  });
}
