// The conversion as a whole: one job, read from the shared record, turned
// into one MP3 file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "extract/conversion_job.h"
#include "tonecast/timeline.h"

namespace tonecast {

// What the converter takes from the job record, copied out of the shared
// memory before any work starts.
struct ConversionRequest {
  std::string inputPath;
  std::string outputPath;
  int32_t bitRate = 0;
  int32_t sampleRate = 0;
  // The input's stream as the prober saw it: used only for an input without
  // any audio payload, whose MP3 then holds no samples at this shape.
  StreamShape probed;
};

// Copies the request out of the record. False when the record does not ask
// for what this converter writes (format "mp3", codec 86017), when a path is
// empty or not terminated within its field, or when the rates are not
// positive.
bool readRequest(const ConversionJob& job, ConversionRequest* request);

enum class ConversionResult {
  kDone = 0,
  kInputUnreadable,    // the input cannot be opened or has no FLV header
  kSameFile,           // the output path names the input file
  kUnsupportedAudio,   // an audio tag of a format the converter cannot decode
  kDecodeFailed,
  kImplausibleGap,     // a gap of a length no recording has (see Timeline)
  kEncodeOrWriteFailed,
};

// Reads the input's audio tags in file order, builds the timeline and writes
// the MP3 file at request.outputPath. reportProgress receives the fraction of
// the input read so far, (0, 1], after each tag. On any result but kDone
// nothing is left at the output path (an older file there stays untouched)
// nor beside it.
ConversionResult convert(const ConversionRequest& request,
                         const std::function<void(double)>& reportProgress);

}  // namespace tonecast
