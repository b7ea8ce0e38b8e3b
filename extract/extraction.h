// The extract-and-retime flow behind extractAndRetimePcm and
// extractAndRetimeNellymoser, with the services it uses made replaceable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "extract/converter.h"
#include "platform/file.h"
#include "platform/process.h"

// The longest prefix: prefix + ".mp3" and its terminator fill a 260-byte path.
constexpr size_t kMaxPrefixChars = 255;
// The longest full program path, and the longest directory part of it that
// leaves room for kConverterFileName and its terminator in 260 bytes.
constexpr size_t kMaxProgramPathChars = 259;
constexpr size_t kMaxProgramDirChars = 247;

// Re-times the input's video against the converted audio, writing flvPath.
using Retimer = std::function<int(const char* mp3Path, const char* inputPath, const char* flvPath)>;

struct ExtractionServices {
  std::function<bool(platform::ProgramLocation*)> locateProgram = platform::programLocation;
  std::function<uint32_t()> threadId = platform::currentThreadId;
  ProcessStarter startProcess = platform::startProcess;
  uint32_t sliceMs = kConverterSliceMs;
};

// The converter beside the running program: the directory of its full path
// followed by kConverterFileName. False when the path exceeds
// kMaxProgramPathChars, names no file, or its directory part exceeds
// kMaxProgramDirChars.
bool converterPathBeside(const platform::ProgramLocation& program, std::string* converterPath);

// Has the converter write prefix + ".mp3" from inputPath's audio; when the
// input has video, returns retime(mp3Path, inputPath, prefix + ".flv"),
// otherwise 1. Returns 0, creating nothing, for a prefix over
// kMaxPrefixChars or without a file name (empty, or ending in a separator),
// an input path over kJobPathChars, a program path that breaks the limits
// above, an mp3 or
// (with video) flv path naming the input itself, or an input the FLV library
// cannot probe; 0 also when the converter fails.
int extractAndRetime(const char* inputPath, const char* prefix, const Retimer& retime,
                     const ExtractionServices& services = {});
