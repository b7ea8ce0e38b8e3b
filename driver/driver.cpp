#include "driver/driver.h"

#include <cstdio>
#include <cstring>

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

constexpr char kUsage[] = "Usage: tagmend [--speex] flvPathIn flvPathOutPrefix\n";

// What the command line asks for: the options, then the two paths.
struct Request {
  bool speex = false;  // --speex: convert Speex audio
  const char* input = nullptr;
  const char* prefix = nullptr;
};

// Options stand before the paths; "--" ends them, so that a path may start
// with "--". False for an unknown option or other than two paths.
bool parseArguments(int argc, char** argv, Request* request) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    if (std::strcmp(argv[i], "--speex") != 0) return false;
    request->speex = true;
  }
  if (argc - i != 2) return false;
  request->input = argv[i];
  request->prefix = argv[i + 1];
  return true;
}

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

int repair(const StreamInfo& info, const Request& request) {
  const char* input = request.input;
  const char* prefix = request.prefix;
  switch (info.soundFormat) {
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
    case flv::kSpeex:
      if (!request.speex) return kExitOk;  // converted only when asked for
      return run(extractAndRetimeSpeex, input, prefix, kExitSpeexFailed);
    default:
      return kExitOk;  // a format this tool does not repair
  }
}

}  // namespace

int runTagmend(int argc, char** argv) {
  Quennet_init();
  std::fputs("FLV fixing...\n", stdout);
  std::fflush(stdout);
  Request request;
  if (!parseArguments(argc, argv, &request)) {
    std::fputs(kUsage, stdout);
    std::fflush(stdout);
    return kExitUsage;
  }
  const char* input = request.input;
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
    result = repair(info, request);
  } else {
    platform::reportFailure("probe input", input, "not an FLV file that can be probed");
  }
  DeleteFileReadAble(reader);
  return result;
}
