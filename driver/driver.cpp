#include "driver/driver.h"

#include <cstdio>

#include "extract/flows.h"
#include "libs/tarvel/flv_format.h"
#include "libs/quennet/quennet.h"
#include "libs/tarvel/tarvel.h"
#include "platform/diagnostics.h"
#include "platform/interrupt.h"
#include "retime/input_pin.h"
#include "retime/retime.h"
#include "retime/staged_output.h"

namespace {

// What the probe gives for a stream the input does not have.
constexpr int kNoAudio = -1;
constexpr int kNoVideo = -1;

// Runs one repair, holding the lock of its outputs so that two runs for one
// prefix never mix their files. From its start, an interruption ends the
// program with the repair's failure code, once the converter is stopped and
// every leftover of the repair removed.
int run(int (*repairWith)(const char*, const char*), const char* input, const char* prefix, int failureCode) {
  platform::exitOnInterrupt(failureCode);
  retime::OutputLock lock(prefix);
  if (!lock.held()) {
    platform::reportFailure("lock outputs", retime::outputLockPath(prefix));
    return failureCode;
  }
  return repairWith(input, prefix) ? kExitOk : failureCode;
}

// The classic sound format that an extended audio header's FourCC stands
// for, where a repair knows it; else the extended format itself, which none
// repairs.
int soundFormatOf(const StreamInfo& info) {
  if (info.soundFormat != flv::kExHeaderSoundFormat) return info.soundFormat;
  if (info.audioFourCc == flv::kFourCcMp3) return flv::kMp3;
  return info.soundFormat;
}

int repair(const StreamInfo& info, const char* input, const char* prefix) {
  switch (soundFormatOf(info)) {
    case kNoAudio:
      return kExitNoAudio;
    case flv::kMp3:
      if (info.videoCodecId == kNoVideo) return kExitOk;  // nothing to re-time against
      return run(rebuildMp3Timeline, input, prefix, kExitMp3RepairFailed);
    case flv::kPcmPlatformEndian:
      return run(extractAndRetimePcm, input, prefix, kExitPcmFailed);
    case flv::kNellymoser8kMono:
    case flv::kNellymoser:
      return run(extractAndRetimeNellymoser, input, prefix, kExitNellymoserFailed);
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
  if (!reader) {
    platform::reportFailure("open input", input);
    return kExitCannotOpen;
  }
  // Every later open of the input is checked against this one.
  retime::InputPin pin(reader);
  StreamInfo info{};
  int result = kExitCannotProbe;
  if (GetFLVInfo(reader, &info)) {
    result = repair(info, input, prefix);
  } else {
    platform::reportFailure("probe input", input, "not an FLV file that can be probed");
  }
  DeleteFileReadAble(reader);
  return result;
}
