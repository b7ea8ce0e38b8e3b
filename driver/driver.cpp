#include "driver/driver.h"

#include <cstdio>

#include "extract/flows.h"
#include "libs/quennet/quennet.h"
#include "libs/tarvel/tarvel.h"
#include "retime/input_pin.h"
#include "retime/retime.h"
#include "retime/staged_output.h"

namespace {

// Sound formats the driver tells apart.
constexpr int kNoAudio = -1;
constexpr int kPcm = 0;
constexpr int kMp3 = 2;
constexpr int kNellymoser8k = 5;
constexpr int kNellymoser = 6;
constexpr int kNoVideo = -1;

// Runs a repair that writes prefix's outputs while holding their lock, so
// that two runs for one prefix never mix their files.
template <class Repair>
bool writeLocked(const char* prefix, Repair&& run) {
  retime::OutputLock lock(prefix);
  return lock.held() && run() != 0;
}

int repair(const StreamInfo& info, const char* input, const char* prefix) {
  switch (info.soundFormat) {
    case kNoAudio:
      return kExitNoAudio;
    case kMp3:
      if (info.videoCodecId == kNoVideo) return kExitOk;  // nothing to re-time against
      return writeLocked(prefix, [&] { return rebuildMp3Timeline(input, prefix); }) ? kExitOk
                                                                                     : kExitMp3RepairFailed;
    case kPcm:
      return writeLocked(prefix, [&] { return extractAndRetimePcm(input, prefix); }) ? kExitOk : kExitPcmFailed;
    case kNellymoser8k:
    case kNellymoser:
      return writeLocked(prefix, [&] { return extractAndRetimeNellymoser(input, prefix); }) ? kExitOk
                                                                                            : kExitNellymoserFailed;
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
  // Every later open of the input is checked against this one.
  retime::InputPin pin(reader);
  StreamInfo info{};
  int result = GetFLVInfo(reader, &info) ? repair(info, input, prefix) : kExitCannotProbe;
  DeleteFileReadAble(reader);
  return result;
}
