#include "driver/driver.h"

#include <cstdio>
#include <string>
#include <string_view>

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

using Repair = int (*)(const char*, const char*);

// Repairs that run only when asked for by their option: without it, input
// of that sound format is left alone (exit 0, nothing written), as it
// always was. One entry per option; the usage line is built from them.
struct OptInRepair {
  const char* option;
  int soundFormat;
  bool needsVideo;  // without video, nothing to re-time against: left alone
  Repair repair;
  int failureCode;
};
constexpr OptInRepair kOptInRepairs[] = {
    {"--aac", flv::kAac, true, rebuildAacTimeline, kExitAacFailed},
    {"--speex", flv::kSpeex, false, extractAndRetimeSpeex, kExitSpeexFailed},
};
constexpr size_t kOptInCount = sizeof kOptInRepairs / sizeof kOptInRepairs[0];

// The command line: options, then the input path and the output prefix.
struct Arguments {
  bool chosen[kOptInCount] = {};
  const char* input = nullptr;
  const char* prefix = nullptr;
};

// False for a wrong argument count or an unknown option. Exactly two
// arguments are always the two paths, whatever they begin with, so that a
// caller of the two-argument form sees no change; otherwise options come
// first and "--" ends them.
bool parseArguments(int argc, char** argv, Arguments* args) {
  int at = 1;
  if (argc != 3) {
    for (; at < argc; ++at) {
      std::string_view arg = argv[at];
      if (arg == "--") {
        ++at;
        break;
      }
      if (arg.size() < 2 || arg[0] != '-') break;
      size_t i = 0;
      while (i < kOptInCount && arg != kOptInRepairs[i].option) ++i;
      if (i == kOptInCount) return false;
      args->chosen[i] = true;
    }
  }
  if (argc - at != 2) return false;
  args->input = argv[at];
  args->prefix = argv[at + 1];
  return true;
}

void printUsage() {
  std::string line = "Usage: tagmend";
  for (const OptInRepair& r : kOptInRepairs) line += std::string(" [") + r.option + "]";
  line += " [--] flvPathIn flvPathOutPrefix\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// Runs one repair, holding the lock of its outputs so that two runs for one
// prefix never mix their files. From its start, an interruption ends the
// program with the repair's failure code, once the converter is stopped and
// every leftover of the repair removed.
int run(Repair repairWith, const char* input, const char* prefix, int failureCode) {
  platform::exitOnInterrupt(failureCode);
  // Named first: finding the name looks at the outputs, which would leave
  // its own errno in place of the lock's.
  const std::string lockPath = retime::outputLockPath(prefix);
  retime::OutputLock lock(prefix);
  if (!lock.held()) {
    platform::reportFailure("lock outputs", lockPath);
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
  if (info.audioFourCc == flv::kFourCcAac) return flv::kAac;  // --aac, as classic AAC
  return info.soundFormat;
}

int repair(const StreamInfo& info, const Arguments& args) {
  const char* input = args.input;
  const char* prefix = args.prefix;
  const int soundFormat = soundFormatOf(info);
  for (size_t i = 0; i < kOptInCount; ++i) {
    const OptInRepair& r = kOptInRepairs[i];
    if (!args.chosen[i] || soundFormat != r.soundFormat) continue;
    if (r.needsVideo && info.videoCodecId == kNoVideo) return kExitOk;
    return run(r.repair, input, prefix, r.failureCode);
  }
  switch (soundFormat) {
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
  Arguments args;
  if (!parseArguments(argc, argv, &args)) {
    printUsage();
    return kExitUsage;
  }
  const char* input = args.input;
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
    result = repair(info, args);
  } else {
    platform::reportFailure("probe input", input, "not an FLV file that can be probed");
  }
  DeleteFileReadAble(reader);
  return result;
}
