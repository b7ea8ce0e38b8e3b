// Starting the converter on a filled job and supervising it to its end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "extract/conversion_job.h"
#include "libs/tarvel/tarvel.h"
#include "platform/process.h"
#include "platform/shared_memory.h"

// The converter is given this long between looks at its progress.
constexpr uint32_t kConverterSliceMs = 60000;
// The exit code a converter that stopped making progress is ended with.
constexpr uint32_t kConverterTerminateCode = 3;
constexpr const char* kConverterFileName = "tonecast.exe";

using ProcessStarter = std::function<std::unique_ptr<platform::Process>(const std::string& commandLine)>;

// The converter's whole command line: its path in double quotes, one space,
// the job object's name.
std::string converterCommandLine(const char* converterPath, const char* mappingName);

// Fills job (see fillJob), starts the converter with converterCommandLine()
// and waits for it in slices of sliceMs. After every slice that ends with the
// converter still running, a progress of zero (either sign) or NaN ends it
// with kConverterTerminateCode and supervision stops; a failed wait stops it
// too, leaving the converter running. There is no overall limit.
//
// Returns 1 when the converter started and its exit code reads 0, else 0.
// mapping is closed on every path: at once when the converter cannot start,
// otherwise after supervision and before the exit code is read. The process
// is released last. Whatever the converter wrote stays on disk.
int runConverter(const char* inputPath, const StreamInfo& info,
                 std::unique_ptr<platform::SharedMemory> mapping, ConversionJob* job,
                 const char* converterPath, const char* mappingName, const char* mp3Path,
                 const ProcessStarter& start = platform::startProcess,
                 uint32_t sliceMs = kConverterSliceMs);
