// The reader behind the C interface's reader handles.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/tarvel/tarvel.h"
#include "platform/file.h"

namespace tarvel {

// Sequential buffered reader of one FLV file. Tags are copied into a buffer
// of the reader's own, zero-padded, which the TagRecord then points into.
class TagReader {
 public:
  bool open(const char* path);
  bool readHeader(FlvHeaderRecord* header);
  // False at the end of the file. A tag is taken when its PreviousTagSize
  // confirms its size (or the file ends before a whole one), or when the
  // next tag follows where it says. Where damage stands instead (an unknown
  // type, data running past the end of the file, a DataSize that lies), the
  // reader skips ahead to the next tag so confirmed: a damaged tag costs that
  // tag. A final tag whose data the file holds whole is read without its
  // PreviousTagSize; one cut inside its header or data ends the input.
  // skipVideoData: a video tag's data past its first TARVEL_VIDEO_HEAD_BYTES
  // is moved over, not read (see Flv_ReadTag).
  bool readTag(TagRecord* tag, bool skipVideoData = false);
  // Moves past the next tag without copying its data, as readTag would find
  // and confirm it; head receives its 11-byte header and the first data byte
  // (0 when the tag has no data). False at the end of the file.
  bool skipTag(uint8_t head[12], uint32_t* dataSize);
  bool seek(int64_t offset);
  int64_t tell() const { return position_; }
  platform::File& file() { return file_; }

 private:
  // Makes n bytes from the current position available at bufferData();
  // false when the file ends first.
  bool fill(int64_t n);
  const uint8_t* bufferData() const { return buffer_.data() + bufferPos_; }
  int64_t buffered() const { return bufferLen_ - bufferPos_; }
  void consume(int64_t n) {
    bufferPos_ += n;
    position_ += n;
  }
  bool readTagBytes(uint8_t* out, int64_t n);
  bool readVideoHead(TagRecord* tag, uint32_t dataSize);
  int64_t peekAt(uint8_t* out, int64_t n, int64_t offset);
  bool plausibleAt(const uint8_t* h, int64_t offset);
  bool confirmedAt(int64_t offset, const uint8_t* h, int depth);
  bool tagFollows(int64_t offset, int depth);
  bool resync();
  bool findTag(bool afterRefusal);
  bool acceptTrailer(int64_t rawSize);

  platform::File file_;
  std::vector<uint8_t> buffer_;
  int64_t bufferPos_ = 0;
  int64_t bufferLen_ = 0;
  int64_t position_ = 0;  // file offset of bufferData()
  int64_t fileSize_ = 0;  // as last seen; refreshed when a tag seems to pass it
  std::vector<uint8_t> tag_;
  bool readShort_ = false;  // the last tag was read straight or skipped: read little ahead
  bool damageSeen_ = false;  // a tag was refused or skipped: confirm large ones before reading
};

// The object a reader handle points to. Its first word is the table of
// operations, which callers may use to rewind the reader.
struct ReaderHandle {
  const FlvReaderOps* ops;
  TagReader* reader;
};

TagReader* readerOf(void* handle);

// Fills a TagRecord's parsed fields from the tag bytes at raw (header first,
// rawSize = 11 + DataSize bytes, followed by padding).
void describeTag(uint8_t* raw, uint32_t rawSize, int64_t filePosition, TagRecord* tag);

}  // namespace tarvel
