// The records that cross a program boundary: TagRecord, FlvHeaderRecord and
// StreamInfo (Tarvel), AvInfo (Quennet) and ConversionJob (tagmend and the
// converter, in shared memory). Their byte layout is a binary interface,
// fixed for the 32-bit build that the tools ship as; this file compiles to
// nothing and fails the build when a layout drifts. A 64-bit build widens
// the two pointers of TagRecord and keeps everything else.
#include <cstddef>
#include <cstdint>

#include "extract/conversion_job.h"
#include "libs/quennet/quennet.h"
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

static_assert(sizeof(StreamInfo) == 64);
static_assert(offsetof(StreamInfo, videoCodecId) == 4);
static_assert(offsetof(StreamInfo, soundFormat) == 8);
static_assert(offsetof(StreamInfo, sampleRate) == 32);
static_assert(offsetof(StreamInfo, channels) == 40);
static_assert(offsetof(StreamInfo, bitsPerSample) == 44);

// The duration is a 64-bit value at 40 in every build.
static_assert(sizeof(AvInfo) == 56);
static_assert(offsetof(AvInfo, duration) == 40);
static_assert(sizeof(AvInfo::duration) == 8);

static_assert(sizeof(ConversionJob) == 608);
static_assert(offsetof(ConversionJob, outputPath) == 261);
static_assert(offsetof(ConversionJob, infoPair) == 536);
static_assert(offsetof(ConversionJob, progress) == 544);
static_assert(sizeof(ConversionJob::progress) == 8);
static_assert(offsetof(ConversionJob, formatName) == 556);
static_assert(offsetof(ConversionJob, codecId) == 588);
static_assert(offsetof(ConversionJob, infoWord) == 600);

}  // namespace
