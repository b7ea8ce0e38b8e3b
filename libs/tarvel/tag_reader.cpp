#include "libs/tarvel/tag_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "libs/tarvel/flv_format.h"

namespace tarvel {

namespace {

// Large enough that the system's copies come in long runs, small enough to
// stay in the processor's cache while the tags in it are looked at and
// written out again.
constexpr int64_t kBufferSize = 1024 * 1024;
// A tag up to this size (with its PreviousTagSize) is brought into the
// buffer whole before it is taken, so that a writer can write it from
// there; larger ones are read straight or moved over.
constexpr int64_t kHoldBytes = kBufferSize / 4;
// A tag whose bytes beyond the buffer reach this many is read straight into
// the tag's memory: big video frames cross from the system once.
constexpr int64_t kDirectBytes = 32 * 1024;
// Read-ahead after such a tag: enough for the small tags that follow and
// the next header, little of the next big frame, which is better read
// straight too.
constexpr int64_t kShortRead = 4 * 1024;
// Bytes far from the buffer that a damaged region has the reader look at
// (the PreviousTagSize and the next header where a claimed size ends) are
// read a window at a time: neighbouring candidates claim neighbouring ends,
// so a run of plausible headers costs a read per window, not one per byte.
// A look that does not follow the last window reads a little only: sizes
// that lie at random cost no more than a small read each.
constexpr int64_t kPeekWindow = 16 * 1024;
constexpr int64_t kPeekSmall = 256;

// PreviousTagSize as the field's writers have written it: the tag's size
// with its header (as the format says), one byte short of it, or without the
// header.
bool sizeMatches(uint32_t previousTagSize, int64_t rawSize) {
  int64_t v = previousTagSize;
  return v == rawSize || v == rawSize - 1 || (v == rawSize - int64_t{flv::kTagHeaderSize} && v > 0);
}

void destroyReader(void* handle);
int64_t tellReader(void* handle) { return readerOf(handle)->tell(); }
int32_t seekReader(void* handle, int32_t low, int32_t high, int32_t whence) {
  if (whence != 0) return 0;
  int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                                        static_cast<uint32_t>(low));
  return readerOf(handle)->seek(offset) ? 1 : 0;
}

const FlvReaderOps kReaderOps = {destroyReader, tellReader, seekReader};

void destroyReader(void* handle) {
  auto* h = static_cast<ReaderHandle*>(handle);
  delete h->reader;
  delete h;
}

}  // namespace

TagReader* readerOf(void* handle) { return static_cast<ReaderHandle*>(handle)->reader; }

TagReader::~TagReader() {
  if (bufferUser_) bufferUser_->detachFromReader();
}

bool TagReader::open(const char* path) {
  // The repairs open the input again and rewind it: a stream that cannot
  // seek (a terminal, say) is no file to read.
  if (!file_.open(path, platform::File::Mode::kRead) || !file_.seek(0)) return false;
  fileSize_ = sizeAtOpen_ = file_.size();
  buffer_.resize(kBufferSize);
  base_ = buffer_.data();
  return true;
}

bool TagReader::attach(InputBufferUser* user) {
  if (bufferUser_ == user) return true;
  if (other_.empty()) {
    try {
      other_.resize(kBufferSize);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  if (bufferUser_) bufferUser_->detachFromReader();
  bufferUser_ = user;
  return true;
}

void TagReader::detach(InputBufferUser* user) {
  if (bufferUser_ == user) bufferUser_ = nullptr;
}

uint8_t* TagReader::held(int64_t offset, int64_t n) {
  if (offset < bufferStart_ || offset + n > bufferStart_ + bufferLen_) return nullptr;
  return base_ + (offset - bufferStart_);
}

bool TagReader::readInput(uint8_t* out, int64_t n, int64_t offset) {
  return !failed_ && file_.readAt(out, n, offset) == n;
}

// The file gave no more bytes: its end, unless it shrank since it was
// opened, which is a failure of the input.
bool TagReader::endOfFile() {
  int64_t size = file_.size();
  if (size < sizeAtOpen_) failed_ = true;
  return false;
}

bool TagReader::seek(int64_t offset) {
  if (offset < 0) return false;
  // The buffer's bytes stay where a user may be writing them from; the next
  // fill reads afresh.
  position_ = bufferStart_ = offset;
  bufferPos_ = bufferLen_ = 0;
  return file_.seek(offset);
}

bool TagReader::fill(int64_t n) {
  if (buffered() >= n) return true;
  if (n > kBufferSize || failed_) return false;
  // Move what is left to the front, then top the buffer up. With a user
  // writing from the buffer, what is left goes to the other buffer instead,
  // once the user has let go of it, and this one stays as it is.
  int64_t left = buffered();
  if (bufferUser_) {
    bufferUser_->releaseInputBuffer();
    if (left > 0) std::memcpy(other_.data(), buffer_.data() + bufferPos_, static_cast<size_t>(left));
    buffer_.swap(other_);
    base_ = buffer_.data();
  } else if (left > 0 && bufferPos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + bufferPos_, static_cast<size_t>(left));
  }
  bufferPos_ = 0;
  bufferLen_ = left;
  bufferStart_ = position_;
  int64_t limit = readShort_ ? std::min(std::max(n, kShortRead), kBufferSize) : kBufferSize;
  while (bufferLen_ < n) {
    int64_t got = file_.read(buffer_.data() + bufferLen_, limit - bufferLen_);
    if (got < 0) failed_ = true;
    if (got <= 0) return got == 0 && endOfFile();
    bufferLen_ += got;
  }
  return true;
}

// Copies n bytes at the current position to out: what the buffer holds, the
// rest straight from the file.
bool TagReader::readTagBytes(uint8_t* out, int64_t n) {
  int64_t fromBuffer = std::min(n, buffered());
  std::memcpy(out, bufferData(), static_cast<size_t>(fromBuffer));
  consume(fromBuffer);
  int64_t rest = n - fromBuffer;
  readShort_ = rest >= kDirectBytes;
  if (rest == 0) return true;
  if (rest < kDirectBytes) {
    if (!fill(rest)) return false;
    std::memcpy(out + fromBuffer, bufferData(), static_cast<size_t>(rest));
    consume(rest);
    return true;
  }
  // The buffer is used up: it starts again where the reading ends.
  bufferPos_ = bufferLen_ = 0;
  while (rest > 0) {
    int64_t got = file_.read(out + (n - rest), rest);
    if (got < 0) failed_ = true;
    if (got > 0) rest -= got, position_ += got;
    bufferStart_ = position_;
    if (got <= 0) return got == 0 && endOfFile();
  }
  return true;
}

bool TagReader::readHeader(FlvHeaderRecord* header) { return !failed_ && readFileHeader(header); }

bool TagReader::readTag(TagRecord* tag, int mode) { return !failed_ && nextTag(tag, mode); }

bool TagReader::skipTag(uint8_t head[12], uint32_t* dataSize, int64_t* tagAt) {
  return !failed_ && skipNextTag(head, dataSize, tagAt);
}

bool TagReader::readFileHeader(FlvHeaderRecord* header) {
  if (!seek(0) || !fill(flv::kHeaderSize)) return false;
  const uint8_t* h = bufferData();
  if (h[0] != 'F' || h[1] != 'L' || h[2] != 'V') return false;
  uint32_t dataOffset = flv::readU32(h + 5);
  if (dataOffset < flv::kHeaderSize) return false;
  std::memset(header, 0, sizeof *header);
  std::memcpy(header->signature, h, 3);
  header->version = h[3];
  header->flags = h[4];
  header->dataOffset = dataOffset;
  int64_t size = file_.size();
  while (size > 0) ++header->sizeClass, size >>= 1;
  // Tags start after DataOffset bytes and PreviousTagSize0.
  int64_t firstTag = int64_t{dataOffset} + int64_t{flv::kPreviousTagSizeBytes};
  if (firstTag <= bufferLen_) {
    consume(firstTag);
    return true;
  }
  int64_t fileSize = file_.size();
  return fileSize >= firstTag && seek(firstTag);
}

// A tag header can stand at offset: a known type, no reserved bits set, and
// data that ends inside the file.
bool TagReader::plausibleAt(const uint8_t* h, int64_t offset) {
  int type = h[0] & 0x1F;
  if ((h[0] & 0xC0) != 0 || (type != flv::kAudio && type != flv::kVideo && type != flv::kScript)) return false;
  int64_t end = offset + int64_t{flv::kTagHeaderSize} + flv::readU24(h + 1);
  if (end > fileSize_) fileSize_ = file_.size();
  return end <= fileSize_;
}

// Copies n bytes at offset: from the buffer when it holds them all, else
// from the file. Returns the count copied (short at the end of the file).
int64_t TagReader::peekAt(uint8_t* out, int64_t n, int64_t offset) {
  int64_t from = offset - position_;
  if (from >= 0 && from + n <= buffered()) {
    std::memcpy(out, bufferData() + from, static_cast<size_t>(n));
    return n;
  }
  if (n > kPeekWindow) return file_.readAt(out, n, offset);
  if (offset < peekStart_ || offset + n > peekStart_ + peekLen_) {
    if (peek_.empty()) {
      try {
        peek_.resize(kPeekWindow);
      } catch (const std::bad_alloc&) {
        return file_.readAt(out, n, offset);
      }
    }
    const bool following = offset >= peekStart_ && offset < peekStart_ + peekLen_ + kPeekWindow;
    peekLen_ = 0;
    const int64_t got = file_.readAt(peek_.data(), following ? kPeekWindow : std::max(n, kPeekSmall), offset);
    if (got < 0) return got;
    peekStart_ = offset;
    peekLen_ = got;
  }
  const int64_t copied = std::max<int64_t>(0, std::min(n, peekStart_ + peekLen_ - offset));
  std::memcpy(out, peek_.data() + (offset - peekStart_), static_cast<size_t>(copied));
  return copied;
}

// The tag whose header h stands at offset is confirmed by its
// PreviousTagSize, by the file ending before a whole one follows its data,
// or, with depth left, by a tag following it (see tagFollows). Only damage
// and resync come here.
bool TagReader::confirmedAt(int64_t offset, const uint8_t* h, int depth) {
  int64_t rawSize = int64_t{flv::kTagHeaderSize} + flv::readU24(h + 1);
  uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
  int64_t got = peekAt(previousTagSize, sizeof previousTagSize, offset + rawSize);
  if (got >= 0 && got < static_cast<int64_t>(sizeof previousTagSize)) return true;
  if (got == sizeof previousTagSize && sizeMatches(flv::readU32(previousTagSize), rawSize)) return true;
  return depth > 0 && !holdsTagEndingAt(offset, offset + rawSize, flv::readU32(previousTagSize)) &&
         tagFollows(offset + rawSize + int64_t{flv::kPreviousTagSizeBytes}, depth - 1);
}

// A tag whose PreviousTagSize does not confirm it may still be taken when
// the next tag follows it; but when that PreviousTagSize names a tag inside
// the data the tag claims (a plausible header with StreamID 0 after the
// tag's own, whose size ends exactly at end and which the PreviousTagSize
// confirms), the tag's DataSize lies and swallows real tags: the chain of
// tags inside is preferred to it.
bool TagReader::holdsTagEndingAt(int64_t offset, int64_t end, uint32_t previousTagSize) {
  // The forms sizeMatches takes: the whole tag, one byte short, data alone.
  const int64_t v = previousTagSize;
  for (int64_t rawSize : {v, v + 1, v + int64_t{flv::kTagHeaderSize}}) {
    const int64_t at = end - rawSize;
    if (rawSize < int64_t{flv::kTagHeaderSize} || at < offset + int64_t{flv::kTagHeaderSize}) continue;
    if (rawSize == v + int64_t{flv::kTagHeaderSize} && v == 0) continue;
    uint8_t h[flv::kTagHeaderSize];
    if (peekAt(h, sizeof h, at) != static_cast<int64_t>(sizeof h)) continue;
    if (flv::readU24(h + 8) != 0 || !plausibleAt(h, at)) continue;
    if (int64_t{flv::kTagHeaderSize} + flv::readU24(h + 1) == rawSize) return true;
  }
  return false;
}

// The file ends at offset, or a plausible tag header with StreamID 0 stands
// there and (with depth left) is confirmed itself. A PreviousTagSize that
// some writer got wrong then costs nothing, while a DataSize that lies has
// to land on two headers in a row, or on one and its PreviousTagSize.
bool TagReader::tagFollows(int64_t offset, int depth) {
  uint8_t h[flv::kTagHeaderSize];
  int64_t got = peekAt(h, sizeof h, offset);
  if (got == 0) return true;
  if (got != sizeof h || flv::readU24(h + 8) != 0 || !plausibleAt(h, offset)) return false;
  return depth == 0 || confirmedAt(offset, h, depth);
}

// Moves byte by byte from the current position to the next one where a
// plausible header stands, with StreamID 0, and is confirmed. A damaged tag
// costs that tag, not the rest of the file. False at the end of the file.
bool TagReader::resync() {
  for (;;) {
    if (!fill(flv::kTagHeaderSize)) return false;
    const uint8_t* h = bufferData();
    if (flv::readU24(h + 8) == 0 && plausibleAt(h, position_) && confirmedAt(position_, h, 2)) return true;
    consume(1);
  }
}

// Puts the reader on the next tag header: the one at the current position
// when it is plausible (and the last tag was not refused), else the one
// resync finds.
bool TagReader::findTag(bool afterRefusal) {
  if (!fill(flv::kTagHeaderSize)) return false;
  if (!afterRefusal) {
    if (plausibleAt(bufferData(), position_)) return true;
    consume(1);
  }
  damageSeen_ = true;
  return resync();
}

// With the reader at the end of a tag's data (rawSize bytes with its
// header): true, past its PreviousTagSize, when that confirms the tag or the
// next tag follows where its size says. The PreviousTagSize comes from the
// buffer, read ahead with the data: an undamaged file costs no extra read.
// A file that ends before a whole PreviousTagSize still yields the tag,
// whose data is whole. False, the reader anywhere, when the tag is refused.
bool TagReader::acceptTrailer(int64_t rawSize) {
  if (!fill(flv::kPreviousTagSizeBytes)) {
    consume(buffered());
    return true;
  }
  const uint32_t previousTagSize = flv::readU32(bufferData());
  if (!sizeMatches(previousTagSize, rawSize) &&
      (holdsTagEndingAt(position_ - rawSize, position_, previousTagSize) ||
       !tagFollows(position_ + int64_t{flv::kPreviousTagSizeBytes}, 1)))
    return false;
  consume(flv::kPreviousTagSizeBytes);
  return true;
}

bool TagReader::nextTag(TagRecord* tag, int mode) {
  for (bool refused = false;; refused = true) {
    std::memset(tag, 0, sizeof *tag);
    if (!findTag(refused)) return false;
    uint32_t dataSize = flv::readU24(bufferData() + 1);
    int64_t rawSize = int64_t{flv::kTagHeaderSize} + dataSize;
    int64_t tagPosition = position_;
    bool headOnly = mode == TARVEL_READ_HEADS ||
                    (mode == TARVEL_READ_SKIP_VIDEO && (bufferData()[0] & 0x1F) == flv::kVideo);
    if (headOnly && dataSize > TARVEL_VIDEO_HEAD_BYTES) {
      if (!readHead(tag, dataSize)) return false;
      if (acceptTrailer(rawSize)) return true;
      if (!seek(tagPosition + 1)) return false;
      continue;
    }
    // The tag and its padding; bounded by the format (DataSize is 24 bits).
    size_t needed = static_cast<size_t>(rawSize) + TARVEL_TAG_PADDING;
    if (tag_.size() < needed) {
      // Doubling keeps growth rare; the cap keeps a file of near-largest tags
      // from holding twice the largest tag.
      constexpr size_t kLargestTag = flv::kTagHeaderSize + flv::kMaxDataSize + TARVEL_TAG_PADDING;
      try {
        tag_.resize(std::min(std::max(needed, tag_.size() * 2), kLargestTag));
      } catch (const std::bad_alloc&) {
        // Memory running out is a failed read, never the end of the input:
        // the tags after this one would be lost with no sign.
        failed_ = true;
        return false;
      }
    }
    // In a file with damage, a tag beyond the buffer is confirmed before its
    // data is read: a run of lying sizes must not cost a read of up to 16
    // MiB each.
    if (damageSeen_ && rawSize + int64_t{flv::kPreviousTagSizeBytes} > buffered() &&
        !confirmedAt(tagPosition, bufferData(), 2)) {
      if (!seek(tagPosition + 1)) return false;
      continue;
    }
    // A tag of a size the buffer takes comes in whole with its
    // PreviousTagSize (or what the file holds of them), to be taken from
    // the buffer and written from there.
    if (rawSize + int64_t{flv::kPreviousTagSizeBytes} <= kHoldBytes) {
      fill(rawSize + int64_t{flv::kPreviousTagSizeBytes});
      if (failed_) return false;
    }
    if (!readTagBytes(tag_.data(), rawSize)) return false;  // truncated: end of input
    if (!acceptTrailer(rawSize)) {
      // A DataSize that lies: look again from the byte after this header.
      if (!seek(tagPosition + 1)) return false;
      continue;
    }
    std::memset(tag_.data() + rawSize, 0, TARVEL_TAG_PADDING);
    describeTag(tag_.data(), static_cast<uint32_t>(rawSize), tagPosition, tag);
    tag->rawCapacity = static_cast<uint32_t>(tag_.size());
    return true;
  }
}

// The tag's header and the first data bytes (the flags byte and what codecs
// put right after it, such as the AVC packet type); the rest is moved over
// as skipTag does, leaving the reader at the data's end for acceptTrailer;
// a tag of a size the buffer takes is then in it whole with its
// PreviousTagSize, for a writer to write from. The data ends inside the file
// (checked by the caller).
bool TagReader::readHead(TagRecord* tag, uint32_t dataSize) {
  constexpr int64_t kHeld = int64_t{flv::kTagHeaderSize} + TARVEL_VIDEO_HEAD_BYTES;
  if (tag_.size() < kHeld + TARVEL_TAG_PADDING) {
    try {
      tag_.resize(kHeld + TARVEL_TAG_PADDING);
    } catch (const std::bad_alloc&) {
      failed_ = true;
      return false;
    }
  }
  int64_t tagPosition = position_;
  if (!fill(kHeld)) return false;
  std::memcpy(tag_.data(), bufferData(), kHeld);
  std::memset(tag_.data() + kHeld, 0, TARVEL_TAG_PADDING);
  int64_t rawSize = int64_t{flv::kTagHeaderSize} + dataSize;
  if (rawSize + int64_t{flv::kPreviousTagSizeBytes} <= kHoldBytes) {
    fill(rawSize + int64_t{flv::kPreviousTagSizeBytes});
    if (failed_) return false;
  }
  if (buffered() >= rawSize) {
    readShort_ = false;
    consume(rawSize);
  } else {
    // The read that follows the seek brings the PreviousTagSize and the
    // next header together.
    readShort_ = true;
    if (!seek(position_ + rawSize)) return false;
  }
  describeTag(tag_.data(), static_cast<uint32_t>(kHeld), tagPosition, tag);
  tag->dataSize = dataSize;
  tag->rawCapacity = static_cast<uint32_t>(tag_.size());
  return true;
}

bool TagReader::skipNextTag(uint8_t head[12], uint32_t* dataSize, int64_t* tagAt) {
  for (bool refused = false;; refused = true) {
    if (!findTag(refused)) return false;
    int64_t tagPosition = position_;
    if (tagAt) *tagAt = tagPosition;
    *dataSize = flv::readU24(bufferData() + 1);
    std::memcpy(head, bufferData(), flv::kTagHeaderSize);
    // The data ends inside the file (checked above), so its first byte is there.
    head[flv::kTagHeaderSize] = *dataSize > 0 && fill(flv::kTagHeaderSize + 1) ? bufferData()[flv::kTagHeaderSize] : 0;
    int64_t rawSize = int64_t{flv::kTagHeaderSize} + *dataSize;
    if (buffered() >= rawSize) {
      consume(rawSize);
    } else {
      // The read that follows the seek brings the PreviousTagSize and the
      // next header together.
      readShort_ = true;
      if (!seek(position_ + rawSize)) return false;
    }
    if (acceptTrailer(rawSize)) return true;
    if (!seek(tagPosition + 1)) return false;
  }
}

void describeTag(uint8_t* raw, uint32_t rawSize, int64_t filePosition, TagRecord* tag) {
  uint32_t dataSize = rawSize - flv::kTagHeaderSize;
  uint8_t* data = raw + flv::kTagHeaderSize;
  tag->tagType = raw[0] & 0x1F;
  tag->timestamp = flv::readTimestamp(raw);
  tag->dataSize = dataSize;
  tag->raw = raw;
  tag->rawSize = rawSize;
  tag->filePosition = filePosition;
  tag->soundFormat = tag->frameType = tag->codecId = -1;
  tag->payload = data;
  tag->payloadSize = static_cast<int32_t>(dataSize);
  if (tag->tagType != flv::kAudio && tag->tagType != flv::kVideo) return;
  if (dataSize == 0) return;
  uint8_t flags = data[0];
  tag->payload = data + 1;
  tag->payloadSize = static_cast<int32_t>(dataSize - 1);
  if (tag->tagType == flv::kAudio) {
    tag->soundFormat = flags >> 4;
    tag->soundRate = (flags >> 2) & 3;
    tag->soundSize = (flags >> 1) & 1;
    tag->soundType = flags & 1;
  } else {
    tag->frameType = flags >> 4;
    tag->codecId = flags & 0x0F;
  }
}

}  // namespace tarvel

using tarvel::ReaderHandle;
using tarvel::TagReader;

extern "C" {

void* CreateFileReadAble(const char* path) {
  if (!path) return nullptr;
  try {
    auto* reader = new TagReader;
    if (!reader->open(path)) {
      delete reader;
      return nullptr;
    }
    return new ReaderHandle{&tarvel::kReaderOps, reader};
  } catch (...) {
    return nullptr;
  }
}

void DeleteFileReadAble(void* reader) {
  if (reader) static_cast<ReaderHandle*>(reader)->ops->destroy(reader);
}

int32_t Flv_ReadHeader(void* reader, FlvHeaderRecord* header) {
  if (!reader || !header) return 0;
  return tarvel::readerOf(reader)->readHeader(header) ? 1 : 0;
}

int32_t Flv_ReadTag(void* reader, int32_t mode, TagRecord* tag) {
  if (!reader || !tag) return 0;
  return tarvel::readerOf(reader)->readTag(tag, mode) ? 1 : 0;
}

int32_t Flv_ReadFailed(void* reader) { return reader && tarvel::readerOf(reader)->failed() ? 1 : 0; }

void Flv_FreeTag(TagRecord* tag) {
  // The bytes belong to the reader and are reused for its next tag.
  if (!tag) return;
  tag->payload = nullptr;
  tag->raw = nullptr;
  tag->payloadSize = 0;
  tag->rawSize = 0;
}

}  // extern "C"

