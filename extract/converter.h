// Starting the converter on a filled job and supervising it to its end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "extract/conversion_job.h"
#include "libs/tarvel/tarvel.h"
#include "platform/process.h"
#include "platform/shared_memory.h"

// The converter is given this long between looks at its progress.
constexpr uint32_t kConverterSliceMs = 60000;
// Until its first progress report, the converter is looked at this often,
// so that the job object's name goes as soon as the converter has opened it.
constexpr uint32_t kFirstReportPollMs = 100;
// The exit code a converter that stopped making progress is ended with, and
// how long it is then given to go.
constexpr uint32_t kConverterTerminateCode = 3;
constexpr uint32_t kConverterEndWaitMs = 10000;
constexpr const char* kConverterFileName = "tonecast.exe";

using ProcessStarter = std::function<std::unique_ptr<platform::Process>(
    const std::string& program, const std::vector<std::string>& arguments)>;

// Fills job (see fillJob), starts the converter (converterPath, with
// mappingName its one argument; on Windows the command line is its path in
// double quotes, one space, the name) and waits for it in slices of sliceMs. Once
// progress reads non-zero, the job object's name is removed (the converter
// has the object open). After every slice that ends with the converter still
// running, a progress of zero (either sign), NaN, or the value it had at the
// end of the slice before (zero for the first) ends it with
// kConverterTerminateCode; so does a failed wait. There is no overall limit.
//
// Returns 1 when the converter started and its exit code reads 0, else 0.
// mapping is closed on every path: at once when the converter cannot start,
// otherwise after supervision and before the exit code is read. After a
// failure the converter's partial file (converterPartialPath) is removed
// once the converter is gone; whatever the converter put at mp3Path stays.
// The process is released last.
int runConverter(const char* inputPath, const StreamInfo& info,
                 std::unique_ptr<platform::SharedMemory> mapping, ConversionJob* job,
                 const char* converterPath, const char* mappingName, const char* mp3Path,
                 const ProcessStarter& start = platform::startProcess,
                 uint32_t sliceMs = kConverterSliceMs);
