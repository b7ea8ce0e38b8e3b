// The onMetaData tag the rebuild puts in front of a scanned file, and where
// everything lands once it is there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "libs/tarvel/meta_scan.h"

namespace tarvel {

constexpr char kMetadataCreator[] = "Tarvel FLV library";

// The rewritten file: a 9-byte header, PreviousTagSize0, the metadata tag
// with its PreviousTagSize, then the scanned file's tags from firstTag to
// endOfTags without its stale onMetaData tags.
struct MetadataLayout {
  std::vector<ByteRange> keptRanges;  // of the scanned file, in order
  std::vector<int64_t> keptBefore;    // kept bytes before each range
  int64_t keptBytes = 0;
};
MetadataLayout layoutOf(const FlvScan& scan);

// Where a kept byte of the scanned file lands, given how many bytes the new
// header and metadata tag take in front (prefixBytes).
int64_t finalPosition(const MetadataLayout& layout, int64_t prefixBytes, int64_t scannedOffset);

// Everything that goes before the kept tags: the file header (flags from the
// tags found), PreviousTagSize0, the onMetaData tag and its PreviousTagSize.
// With prefixBytes 0 the prefix is as small as it can be; otherwise it is
// padded to exactly prefixBytes, which must be at least
// minimalPrefixBytes(scan) + kMinPaddingBytes. Empty when the metadata does
// not fit in one tag even without its key frame index.
std::vector<uint8_t> buildPrefix(const FlvScan& scan, const MetadataLayout& layout,
                                 int64_t prefixBytes = 0);
int64_t minimalPrefixBytes(const FlvScan& scan, const MetadataLayout& layout);
// Padding is a member of the metadata array holding an array of short
// strings: its name and array header cost 14 bytes, each string 3 or more.
constexpr int64_t kMinPaddingBytes = 17;
constexpr int64_t kMaxPaddingBytes = 4 << 20;

// Room for metadata that a writer leaves after the file header: a
// placeholder onMetaData tag that the refresh overwrites in place, so that
// it need not move the tags that follow. Sized by the size of the file the
// header was read from (its bit length, sizeClass): a file's key frames,
// whose index is most of the metadata, grow with it. A file whose metadata
// outgrows the room is still refreshed, by the slower ways.
constexpr int64_t kMinRoomBytes = 2 << 10;
// flvmeta calls a tag over 1 MB abnormal; a webcam recording of 1 GiB (half
// a million pictures, a key frame in twelve) has an index of some 810 KB.
constexpr int64_t kMaxRoomBytes = 960 << 10;
int64_t metadataRoomBytes(int sizeClass);
// The placeholder: exactly bytes bytes, tag and PreviousTagSize; empty when
// no placeholder is that size.
std::vector<uint8_t> placeholderTag(int64_t bytes);

}  // namespace tarvel
