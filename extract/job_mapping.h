// The conversion job's shared-memory object: its name, its creation and the
// filling of the record before the converter starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "extract/conversion_job.h"
#include "libs/tarvel/tarvel.h"
#include "platform/shared_memory.h"

// kJobNamePrefix followed by the thread identifier in decimal, read as a
// signed 32-bit value. Threads running at the same time have different
// identifiers, so simultaneous runs use different objects.
std::string jobMappingName(uint32_t threadId);

// Creates the job object (kJobSize bytes, zero-filled when new) or opens an
// existing one of that name as it is, and maps all of it. Returns the mapping
// handle, null on failure; *view is the mapped record, null when the handle
// is null or the mapping failed. Closing the handle leaves the view mapped.
std::unique_ptr<platform::SharedMemory> createJobMapping(const char* mappingName, ConversionJob** view);

// Writes every field the converter reads: both paths (at most kJobPathChars
// characters each, the rest of the field's first kJobPathChars bytes zero),
// "mp3", the MP3 codec, bit rate and sample rate, info's words at offsets 32,
// 40 and 44, and the reserved words as 0. progress, the last byte of each
// path field and the other reserved bytes are left as they are.
void fillJob(ConversionJob* job, const char* inputPath, const StreamInfo& info, const char* mp3Path);
