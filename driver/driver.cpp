#include "driver/driver.h"

#include <cstdio>

#include "extract/flows.h"
#include "libs/quennet/quennet.h"
#include "libs/tarvel/tarvel.h"
#include "retime/retime.h"

namespace {

// Sound formats the driver tells apart.
constexpr int kNoAudio = -1;
constexpr int kPcm = 0;
constexpr int kMp3 = 2;
constexpr int kNellymoser8k = 5;
constexpr int kNellymoser = 6;
constexpr int kNoVideo = -1;

int repair(const StreamInfo& info, const char* input, const char* prefix) {
  switch (info.soundFormat) {
    case kNoAudio:
      return kExitNoAudio;
    case kMp3:
      if (info.videoCodecId == kNoVideo) return kExitOk;  // nothing to re-time against
      return rebuildMp3Timeline(input, prefix) ? kExitOk : kExitMp3RepairFailed;
    case kPcm:
      return extractAndRetimePcm(input, prefix) ? kExitOk : kExitPcmFailed;
    case kNellymoser8k:
    case kNellymoser:
      return extractAndRetimeNellymoser(input, prefix) ? kExitOk : kExitNellymoserFailed;
    default:
      return kExitOk;  // a format this tool does not repair
  }
}

}  // namespace

int runTagmend(int argc, char** argv) {
  Quennet_init();
  std::fputs("FLV fixing...\n", stdout);
  std::fflush(stdout);
  if (argc != 3) {
    std::fputs("Usage: tagmend flvPathIn flvPathOutPrefix\n", stdout);
    std::fflush(stdout);
    return kExitUsage;
  }
  const char* input = argv[1];
  const char* prefix = argv[2];
  void* reader = CreateFileReadAble(input);
  if (!reader) return kExitCannotOpen;
  StreamInfo info{};
  int result = GetFLVInfo(reader, &info) ? repair(info, input, prefix) : kExitCannotProbe;
  DeleteFileReadAble(reader);
  return result;
}
