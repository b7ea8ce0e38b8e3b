// The second half of retimeToConvertedAudio, with the converted track's
// length given instead of read from a file: tests give exact lengths that
// no MP3 file can have.
#pragma once

#include <cstdint>

// Writes inputPath's video tags to flvPath, re-timed against a converted
// track of trackDuration ticks, and rebuilds flvPath's metadata. 1 on
// success; 0 when the input cannot be read, the output cannot be created
// (or would overwrite the input) or written, or the input changes between
// the two passes.
int retimeVideoToTrack(const char* inputPath, const char* flvPath, int64_t trackDuration);
