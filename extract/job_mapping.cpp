#include "extract/job_mapping.h"

#include <cstring>

std::string jobMappingName(uint32_t threadId) {
  return std::string(kJobNamePrefix) + std::to_string(static_cast<int32_t>(threadId));
}

std::unique_ptr<platform::SharedMemory> createJobMapping(const char* mappingName, ConversionJob** view) {
  *view = nullptr;
  std::unique_ptr<platform::SharedMemory> mapping = platform::createSharedMemory(mappingName, kJobSize);
  if (mapping != nullptr) *view = static_cast<ConversionJob*>(mapping->view());
  return mapping;
}

namespace {

// Like strncpy with a count of kJobPathChars: a longer path is cut, a shorter
// one zero-padded, and the field's last byte is never touched, so that the
// zero a new object starts with ends even a path of full length.
void copyPath(char* field, const char* path) {
  const size_t n = strnlen(path, kJobPathChars);
  std::memcpy(field, path, n);
  std::memset(field + n, 0, kJobPathChars - n);
}

}  // namespace

void fillJob(ConversionJob* job, const char* inputPath, const StreamInfo& info, const char* mp3Path) {
  copyPath(job->inputPath, inputPath);
  copyPath(job->outputPath, mp3Path);
  std::memcpy(job->formatName, "mp3", 4);  // bytes 560 to 587 stay as they are
  job->codecId = kJobCodecMp3;
  job->bitRate = kJobBitRate;
  job->sampleRate = kJobSampleRate;
  // The converter learns the input's audio from these; we only pass them on.
  job->infoWord = info.sampleRate;
  job->infoPair[0] = info.channels;
  job->infoPair[1] = info.bitsPerSample;
  job->reservedPair[0] = 0;
  job->reservedPair[1] = 0;
  job->reservedWord = 0;
}
