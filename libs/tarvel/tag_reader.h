// The reader behind the C interface's reader handles.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/tarvel/tarvel.h"
#include "platform/file.h"

namespace tarvel {

// Whoever holds pointers into a reader's buffered bytes of its input (a
// writer with writes of them pending): told before the reader reads into
// its other buffer, and when it goes.
class InputBufferUser {
 public:
  // Hand over what points into the reader's current buffer, and let go of
  // everything that points into its other one, which the reader fills next.
  virtual void releaseInputBuffer() = 0;
  // The reader goes away, or has taken another user: finish with it.
  virtual void detachFromReader() = 0;

 protected:
  ~InputBufferUser() = default;
};

// Sequential reader of one FLV file. Tags are copied into a buffer of the
// reader's own, zero-padded, which the TagRecord then points into. The
// input is read through a buffer of 1 MiB; while a writer writes from it
// (attach), the reader takes turns with a second one, so that the bytes of
// one stay put while the system writes them and the next are read into the
// other. A file cut short while it is read ends the reading as a failure
// (failed()), not as the end of the file.
class TagReader {
 public:
  TagReader() = default;
  TagReader(const TagReader&) = delete;
  TagReader& operator=(const TagReader&) = delete;
  ~TagReader();
  bool open(const char* path);
  bool readHeader(FlvHeaderRecord* header);
  // False at the end of the file. A tag is taken when its PreviousTagSize
  // confirms its size (or the file ends before a whole one), or when the
  // next tag follows where it says. Where damage stands instead (an unknown
  // type, data running past the end of the file, a DataSize that lies), the
  // reader skips ahead to the next tag so confirmed: a damaged tag costs that
  // tag. A final tag whose data the file holds whole is read without its
  // PreviousTagSize; one cut inside its header or data ends the input.
  // mode: TARVEL_READ_WHOLE, TARVEL_READ_SKIP_VIDEO or TARVEL_READ_HEADS
  // (see Flv_ReadTag).
  bool readTag(TagRecord* tag, int mode = TARVEL_READ_WHOLE);
  // Moves past the next tag without copying its data, as readTag would find
  // and confirm it; head receives its 11-byte header and the first data byte
  // (0 when the tag has no data), and tagAt, when given, where its header
  // starts. False at the end of the file.
  bool skipTag(uint8_t head[12], uint32_t* dataSize, int64_t* tagAt = nullptr);
  bool seek(int64_t offset);
  int64_t tell() const { return position_; }
  platform::File& file() { return file_; }
  // The input failed under the reader: a read error, or a file that shrank
  // (another program cutting it short). Reading stops for good.
  bool failed() const { return failed_; }

  // One user at a time may hold pointers into the buffers; attaching
  // another detaches the one before. False when out of memory.
  bool attach(InputBufferUser* user);
  void detach(InputBufferUser* user);
  // The n input bytes at offset in the current buffer, or null when it does
  // not hold them all. They stay there until the attached user is told to
  // let go; the user may change them (the reader does not read them again
  // unless it is moved back, and then reads them from the file).
  uint8_t* held(int64_t offset, int64_t n);
  // Reads n input bytes at offset straight from the file.
  bool readInput(uint8_t* out, int64_t n, int64_t offset);

 private:
  bool readFileHeader(FlvHeaderRecord* header);
  bool nextTag(TagRecord* tag, int mode);
  bool skipNextTag(uint8_t head[12], uint32_t* dataSize, int64_t* tagAt);
  bool endOfFile();
  // Makes n bytes from the current position available at bufferData();
  // false when the file ends first.
  bool fill(int64_t n);
  const uint8_t* bufferData() const { return base_ + bufferPos_; }
  int64_t buffered() const { return bufferLen_ - bufferPos_; }
  void consume(int64_t n) {
    bufferPos_ += n;
    position_ += n;
  }
  bool readTagBytes(uint8_t* out, int64_t n);
  bool readHead(TagRecord* tag, uint32_t dataSize);
  int64_t peekAt(uint8_t* out, int64_t n, int64_t offset);
  bool plausibleAt(const uint8_t* h, int64_t offset);
  bool confirmedAt(int64_t offset, const uint8_t* h, int depth);
  bool tagFollows(int64_t offset, int depth);
  bool holdsTagEndingAt(int64_t offset, int64_t end, uint32_t previousTagSize);
  bool resync();
  bool findTag(bool afterRefusal);
  bool acceptTrailer(int64_t rawSize);

  platform::File file_;
  // The buffer in use, and the other one, taken in turns while a user holds
  // pointers into them (the other is allocated then).
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> other_;
  uint8_t* base_ = nullptr;  // buffer_.data()
  InputBufferUser* bufferUser_ = nullptr;
  int64_t sizeAtOpen_ = 0;
  bool failed_ = false;
  int64_t bufferPos_ = 0;
  int64_t bufferLen_ = 0;
  int64_t position_ = 0;  // file offset of bufferData()
  int64_t bufferStart_ = 0;  // file offset of the buffer's first byte
  int64_t fileSize_ = 0;  // as last seen; refreshed when a tag seems to pass it
  std::vector<uint8_t> tag_;
  std::vector<uint8_t> peek_;  // file bytes far from the buffer (peekAt), once damage is met
  int64_t peekStart_ = 0;
  int64_t peekLen_ = 0;
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
