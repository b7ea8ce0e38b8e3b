#include "extract/extraction.h"

#include <cstring>
#include <string>

#include "extract/job_mapping.h"
#include "libs/tarvel/handles.h"
#include "libs/tarvel/tarvel.h"
#include "platform/diagnostics.h"
#include "retime/input_pin.h"

bool converterPathBeside(const platform::ProgramLocation& program, std::string* converterPath) {
  const std::string& full = program.fullPath;
  if (full.size() > kMaxProgramPathChars || program.fileNamePos >= full.size() ||
      program.fileNamePos > kMaxProgramDirChars)
    return false;
  *converterPath = full.substr(0, program.fileNamePos) + kConverterFileName;
  return true;
}

int extractAndRetime(const char* inputPath, const char* prefix, const Retimer& retime,
                     const ExtractionServices& services) {
  // Everything that can be refused without work is refused before the job
  // object exists, so that a refusal leaves nothing behind.
  if (std::strlen(prefix) > kMaxPrefixChars) {
    platform::reportFailure("output prefix", prefix, "longer than 255 characters");
    return 0;
  }
  if (!platform::hasFileName(prefix)) {
    platform::reportFailure("output prefix", prefix, "names no file");
    return 0;
  }
  // The job record holds kJobPathChars of the input path: a longer one, cut,
  // could name another file, which the converter would then encode.
  if (std::strlen(inputPath) > kJobPathChars) {
    platform::reportFailure("input", inputPath, "longer than 260 characters");
    return 0;
  }
  const std::string mp3Path = std::string(prefix) + ".mp3";
  // The converter truncates its output first: it must not be the input.
  if (platform::sameFile(mp3Path.c_str(), inputPath)) {
    platform::reportFailure("output", mp3Path, "names the input");
    return 0;
  }
  // A folder, a device or a pipe at an output's name is refused now, not
  // after the conversion; links there are followed.
  std::string target;
  if (!platform::outputTarget(mp3Path.c_str(), &target)) {
    platform::reportFailure("output", mp3Path, "not a file that can be replaced");
    return 0;
  }
  platform::ProgramLocation program;
  std::string converterPath;
  if (!services.locateProgram(&program)) {
    platform::reportFailure("locate converter", kConverterFileName);
    return 0;
  }
  if (!converterPathBeside(program, &converterPath)) {
    platform::reportFailure("locate converter", program.fullPath, "program path too long for the converter's");
    return 0;
  }

  const std::string mappingName = jobMappingName(services.threadId());
  ConversionJob* job = nullptr;
  std::unique_ptr<platform::SharedMemory> mapping = createJobMapping(mappingName.c_str(), &job);
  if (mapping == nullptr || job == nullptr) {  // the handle closes with mapping
    platform::reportFailure("create job object", mappingName);
    return 0;
  }

  // The flow's own probe of the input, by path; the driver's is not shared.
  // It must find the file the run first opened, as it was; without such a
  // first open, this one is the file every later open is checked against.
  StreamInfo info;
  std::memset(&info, 0, sizeof info);
  tarvel::ReaderPtr reader(CreateFileReadAble(inputPath));
  if (!reader) {
    platform::reportFailure("open input", inputPath);
    return 0;
  }
  if (!retime::readerIsPinnedInput(reader.get())) {
    platform::reportFailure("open input", inputPath, "changed since it was first opened");
    return 0;
  }
  retime::InputPin pin(reader.get());
  if (GetFLVInfo(reader.get(), &info) == 0) {
    platform::reportFailure("probe input", inputPath, "not an FLV file that can be probed");
    return 0;
  }
  reader.reset();
  const bool hasVideo = info.videoCodecId != -1;
  const std::string flvPath = std::string(prefix) + ".flv";
  // Refused before the converter runs rather than after it has worked.
  if (hasVideo && platform::sameFile(flvPath.c_str(), inputPath)) {
    platform::reportFailure("output", flvPath, "names the input");
    return 0;
  }
  if (hasVideo && !platform::outputTarget(flvPath.c_str(), &target)) {
    platform::reportFailure("output", flvPath, "not a file that can be replaced");
    return 0;
  }

  if (runConverter(inputPath, info, std::move(mapping), job, converterPath.c_str(),
                   mappingName.c_str(), mp3Path.c_str(), services.startProcess,
                   services.sliceMs) == 0)
    return 0;
  // The converter opened the input by path: replaced or changed since the
  // probe, it may have converted another recording than the one whose
  // video follows.
  if (!retime::pathIsPinnedInput(inputPath)) {
    platform::reportFailure("input", inputPath, "changed during the conversion");
    return 0;
  }
  if (!hasVideo) return 1;  // the MP3 file is the only output
  if (retime(mp3Path.c_str(), inputPath, flvPath.c_str()) != 0) return 1;
  platform::reportFailure("re-time video", flvPath, "failed");
  return 0;
}
