#include "extract/converter.h"

#include <algorithm>

#include "extract/job_mapping.h"
#include "platform/diagnostics.h"
#include "platform/file.h"
#include "platform/interrupt.h"

namespace {

// The converter writes progress at any moment; the volatile read makes each
// look a fresh 8-byte load from the shared record.
double readProgress(const ConversionJob* job) {
  return *static_cast<const volatile double*>(&job->progress);
}

// Zero of either sign, or NaN: the converter has shown no sign of work.
// Written as the negation of an ordered comparison so that NaN lands here.
bool zeroOrNan(double progress) { return !(progress < 0.0 || progress > 0.0); }

// No work shown during a whole slice: progress is zero, NaN, or where the
// slice found it.
bool stalled(double progress, double atSliceStart) {
  return zeroOrNan(progress) || !(progress < atSliceStart || progress > atSliceStart);
}

enum class Supervision { kEnded, kStalled, kWaitFailed };

// Waits for the converter until it ends, or must be ended: stalled at the end
// of a slice, or no longer to be waited for.
Supervision superviseUntilEnd(platform::Process& converter, platform::SharedMemory& mapping,
                       const ConversionJob* job, uint32_t sliceMs) {
  const uint32_t firstReportPollMs = std::min(kFirstReportPollMs, sliceMs);
  bool named = true;
  double atSliceStart = 0.0;
  uint32_t intoSlice = 0;
  while (true) {
    const uint32_t left = sliceMs - intoSlice;
    const uint32_t timeout = named ? std::min(firstReportPollMs, left) : left;
    const platform::WaitResult r = converter.wait(timeout);
    if (r == platform::WaitResult::kEnded) return Supervision::kEnded;
    if (r == platform::WaitResult::kFailed) return Supervision::kWaitFailed;
    intoSlice += timeout;
    const double progress = readProgress(job);
    if (named && !zeroOrNan(progress)) {
      // The converter has opened the object: its name can go, and no crash
      // of ours can leave it behind now.
      mapping.removeName();
      named = false;
    }
    if (intoSlice < sliceMs) continue;
    if (stalled(progress, atSliceStart)) return Supervision::kStalled;
    atSliceStart = progress;
    intoSlice = 0;
  }
}

}  // namespace

int runConverter(const char* inputPath, const StreamInfo& info,
                 std::unique_ptr<platform::SharedMemory> mapping, ConversionJob* job,
                 const char* converterPath, const char* mappingName, const char* mp3Path,
                 const ProcessStarter& start, uint32_t sliceMs) {
  // Every write to the record happens before the converter exists.
  fillJob(job, inputPath, info, mp3Path);
  std::unique_ptr<platform::Process> converter = start(converterPath, {mappingName});
  if (converter == nullptr) {
    platform::reportFailure("start converter", converterPath);
    mapping->close();
    return 0;
  }
  const std::string partialPath = converterPartialPath(mp3Path, converter->id());
  platform::RemovedOnInterrupt partialLeftover(platform::Leftover::kFile, partialPath);

  const Supervision supervision = superviseUntilEnd(*converter, *mapping, job, sliceMs);
  bool gone = supervision == Supervision::kEnded;
  uint32_t code = platform::kStillActive;
  if (!gone && converter->exitCode(&code) && code != platform::kStillActive) gone = true;
  if (!gone) {
    platform::reportFailure("converter", converterPath,
                            supervision == Supervision::kStalled ? "no progress during a whole slice: ended"
                                                                 : "cannot be waited for: ended");
    // Waited for, briefly, so that it writes nothing after its partial file
    // is removed; one that has not gone by then is still a failure.
    converter->terminate(kConverterTerminateCode);
    gone = converter->wait(kConverterEndWaitMs) == platform::WaitResult::kEnded;
  }

  mapping->close();
  uint32_t exitCode = 0xFFFFFFFF;  // kept when the code cannot be read
  converter->exitCode(&exitCode);
  if (exitCode != 0) {
    platform::reportFailure("converter", converterPath, "exit code " + std::to_string(exitCode));
    if (gone) platform::removeFile(partialPath.c_str());
  }
  partialLeftover.release();
  converter.reset();
  return exitCode == 0 ? 1 : 0;
}
