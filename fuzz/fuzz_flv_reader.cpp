// The FLV reader, probe and writer on any file: every tag read is touched
// byte by byte (payload, raw bytes and the promised padding), written back,
// and the copy must read back as the same tags. A rewind must replay the
// same tags.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "libs/tarvel/tarvel.h"

namespace {

// Reads every byte the record promises, so that the sanitizer sees any
// that lies outside the reader's memory.
uint32_t touch(const TagRecord& tag) {
  uint32_t sum = 0;
  if (tag.rawSize < 11) fuzz::fail("raw size below the tag header");
  for (uint32_t i = 0; i < tag.rawSize + TARVEL_TAG_PADDING; ++i) sum += tag.raw[i];
  if (tag.payloadSize < 0) fuzz::fail("negative payload size");
  for (int32_t i = 0; i < tag.payloadSize + TARVEL_TAG_PADDING; ++i) sum += tag.payload[i];
  if (tag.payload < tag.raw || tag.payload + tag.payloadSize > tag.raw + tag.rawSize)
    fuzz::fail("payload outside the raw bytes");
  return sum;
}

constexpr int kMaxTags = 2000;

// The raw bytes of every tag the reader yields from its start.
std::vector<std::vector<uint8_t>> readAll(void* reader, FlvHeaderRecord* header) {
  std::vector<std::vector<uint8_t>> tags;
  if (!Flv_ReadHeader(reader, header)) return tags;
  TagRecord tag;
  while (tags.size() < kMaxTags && Flv_ReadTag(reader, TARVEL_READ_WHOLE, &tag)) {
    volatile uint32_t sink = touch(tag);
    (void)sink;
    tags.emplace_back(tag.raw, tag.raw + tag.rawSize);
    Flv_FreeTag(&tag);
  }
  return tags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::writeScratch("in.flv", data, size);
  StreamInfo info;
  GetFLVInfoFromFile(input.c_str(), &info);

  void* reader = CreateFileReadAble(input.c_str());
  if (!reader) fuzz::fail("an existing file did not open");
  GetFLVInfo(reader, &info);
  FlvHeaderRecord header;
  std::vector<std::vector<uint8_t>> first = readAll(reader, &header);
  bool headerRead = Flv_ReadHeader(reader, &header) != 0;
  // Rewind through the table of operations, as the converted-audio repair does.
  const FlvReaderOps* ops = *static_cast<const FlvReaderOps* const*>(reader);
  ops->seek(reader, 0, 0, 0);
  FlvHeaderRecord again;
  if (readAll(reader, &again) != first) fuzz::fail("a rewound reader read other tags");
  DeleteFileReadAble(reader);

  if (headerRead) {
    const std::string output = fuzz::scratchPath("out.flv");
    void* writer = CreateFileWriteAble(output.c_str());
    if (!writer) fuzz::fail("the writer did not open");
    Flv_WriteHeader(writer, &header);
    for (auto& raw : first) {
      TagRecord tag;
      std::memset(&tag, 0, sizeof tag);
      tag.raw = raw.data();
      tag.rawSize = static_cast<uint32_t>(raw.size());
      if (!Flv_WriteTag(writer, &tag)) fuzz::fail("a tag that was read could not be written");
    }
    if (!DeleteFileWritable(writer)) fuzz::fail("the writer failed");
    void* copy = CreateFileReadAble(output.c_str());
    if (!copy) fuzz::fail("the copy did not open");
    // The writer puts room for metadata, a script-data tag, before the tags.
    std::vector<std::vector<uint8_t>> copied = readAll(copy, &again);
    if (copied.empty() || copied.front()[0] != 18) fuzz::fail("the copy has no room for metadata");
    copied.erase(copied.begin());
    if (first.size() == static_cast<size_t>(kMaxTags)) first.pop_back();  // the copy's read stopped a tag earlier
    if (copied != first) fuzz::fail("the copy reads back differently");
    DeleteFileReadAble(copy);
  }
  fuzz::expectUnchanged(input, data, size);
  return 0;
}
