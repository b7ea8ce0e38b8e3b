// The records that cross the library's boundary: TagRecord, FlvHeaderRecord,
// FlvFileVersion and StreamInfo. Their byte layout is a binary interface,
// fixed for the 32-bit build that the tools ship as; this file compiles to
// nothing and fails the build when a layout drifts. A 64-bit build widens
// the two pointers of TagRecord and keeps everything else. (Quennet's AvInfo
// and the conversion job have checks of their own, beside their headers.)
#include <cstddef>
#include <cstdint>

#include "libs/tarvel/tarvel.h"

namespace {

constexpr bool kPointers32 = sizeof(void*) == 4;
static_assert(kPointers32 || sizeof(void*) == 8);

// TagRecord: a 64-bit build widens and aligns its pointers.
static_assert(offsetof(TagRecord, tagType) == 0);
static_assert(offsetof(TagRecord, timestamp) == 4);
static_assert(offsetof(TagRecord, soundFormat) == 12);
static_assert(offsetof(TagRecord, soundRate) == 16);
static_assert(!kPointers32 || sizeof(TagRecord) == 168);
static_assert(!kPointers32 || offsetof(TagRecord, payload) == 28);
static_assert(!kPointers32 || offsetof(TagRecord, payloadSize) == 32);
static_assert(!kPointers32 || offsetof(TagRecord, raw) == 148);

// Flv_ReadTag's modes are values a caller passes across the boundary.
static_assert(TARVEL_READ_WHOLE == 1 && TARVEL_READ_SKIP_VIDEO == 2 && TARVEL_READ_HEADS == 3);
static_assert(TARVEL_VIDEO_HEAD_BYTES >= 17, "the metadata walk peeks at the flags byte and 16 more");

static_assert(sizeof(FlvHeaderRecord) == 12);

static_assert(sizeof(FlvFileVersion) == 32);
static_assert(offsetof(FlvFileVersion, size) == 16);
static_assert(offsetof(FlvFileVersion, modified) == 24);

static_assert(sizeof(StreamInfo) == 64);
static_assert(offsetof(StreamInfo, videoCodecId) == 4);
static_assert(offsetof(StreamInfo, soundFormat) == 8);
static_assert(offsetof(StreamInfo, sampleRate) == 32);
static_assert(offsetof(StreamInfo, channels) == 40);
static_assert(offsetof(StreamInfo, bitsPerSample) == 44);

}  // namespace
