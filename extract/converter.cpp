#include "extract/converter.h"

#include "extract/job_mapping.h"

std::string converterCommandLine(const char* converterPath, const char* mappingName) {
  return std::string("\"") + converterPath + "\" " + mappingName;
}

namespace {

// The converter writes progress at any moment; the volatile read makes each
// look a fresh 8-byte load from the shared record.
double readProgress(const ConversionJob* job) {
  return *static_cast<const volatile double*>(&job->progress);
}

// Zero of either sign, or NaN: the converter has shown no sign of work.
// Written as the negation of an ordered comparison so that NaN lands here.
bool stalled(double progress) { return !(progress < 0.0 || progress > 0.0); }

}  // namespace

int runConverter(const char* inputPath, const StreamInfo& info,
                 std::unique_ptr<platform::SharedMemory> mapping, ConversionJob* job,
                 const char* converterPath, const char* mappingName, const char* mp3Path,
                 const ProcessStarter& start, uint32_t sliceMs) {
  // Every write to the record happens before the converter exists.
  fillJob(job, inputPath, info, mp3Path);
  std::unique_ptr<platform::Process> converter = start(converterCommandLine(converterPath, mappingName));
  if (converter == nullptr) {
    mapping->close();
    return 0;
  }

  platform::WaitResult r = converter->wait(sliceMs);
  while (r == platform::WaitResult::kTimedOut) {
    if (stalled(readProgress(job))) {
      // Not waited for: the exit code read below is the one given here, or
      // "still active" if the end has not come yet; both are failure.
      converter->terminate(kConverterTerminateCode);
      break;
    }
    r = converter->wait(sliceMs);
  }

  mapping->close();
  uint32_t exitCode = 0xFFFFFFFF;  // kept when the code cannot be read
  converter->exitCode(&exitCode);
  converter.reset();
  return exitCode == 0 ? 1 : 0;
}
