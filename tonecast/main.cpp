// tonecast.exe: the converter that tagmend starts to write an FLV's audio as
// MP3. Command line: its own path, then the name of the shared-memory object
// that holds the job. It prints nothing.
//
// Exit codes: 0 the MP3 file is complete and closed at the job's output
// path; 1 wrong command line; 2 the job cannot be opened; 3 the job is not
// one this converter does; 4 the input cannot be read, or is the output;
// 5 the input holds audio that cannot be decoded, or a gap too long to be
// real; 6 encoding or writing failed; 7 interrupted (SIGINT, SIGTERM, SIGHUP,
// or the end of the process that started it). On every code but 0 nothing
// is left at the output path, nor beside it.
#include <algorithm>

#include "extract/conversion_job.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "tonecast/converter.h"

namespace {

// The supervisor kills a converter whose progress reads zero; this is the
// value from the converter's first moment until real progress is known.
constexpr double kStarted = 1e-6;
constexpr int kInterrupted = 7;

int exitCodeOf(tonecast::ConversionResult result) {
  switch (result) {
    case tonecast::ConversionResult::kDone: return 0;
    case tonecast::ConversionResult::kInputUnreadable:
    case tonecast::ConversionResult::kSameFile: return 4;
    case tonecast::ConversionResult::kUnsupportedAudio:
    case tonecast::ConversionResult::kDecodeFailed:
    case tonecast::ConversionResult::kImplausibleGap: return 5;
    case tonecast::ConversionResult::kEncodeOrWriteFailed: break;
  }
  return 6;
}

}  // namespace

int main(int argc, char** argv) {
  // libspeex reports damaged frames on standard error; the converter is
  // silent whatever its libraries do.
  platform::discardStandardError();
  if (argc != 2) return 1;
  auto memory = platform::openSharedMemory(argv[1], kJobSize);
  if (!memory || !memory->view()) return 2;
  auto* job = static_cast<ConversionJob*>(memory->view());
  // The supervisor reads progress from another process with a plain load;
  // every store must reach the shared page, hence volatile.
  volatile double* progress = &job->progress;
  *progress = kStarted;

  tonecast::ConversionRequest request;
  if (!tonecast::readRequest(*job, &request)) return 3;
  // Interrupted, or left alone by the end of tagmend, the converter takes
  // its partial file with it; the final file is never touched then.
  platform::RemovedOnInterrupt partialFile(platform::Leftover::kFile,
                                           converterPartialPath(request.outputPath, platform::currentProcessId()));
  platform::exitOnInterrupt(kInterrupted);
  platform::interruptWhenParentEnds();
  const auto result = tonecast::convert(
      request, [progress](double fraction) { *progress = std::max(fraction, kStarted); });
  return exitCodeOf(result);
}
