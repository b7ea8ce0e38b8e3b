#include "libs/tarvel/tag_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "libs/tarvel/flv_format.h"

namespace tarvel {

namespace {

constexpr int64_t kBufferSize = 256 * 1024;
// A tag whose bytes beyond the buffer reach this many is read straight into
// the tag's memory: big video frames cross from the system once.
constexpr int64_t kDirectBytes = 32 * 1024;
// Read-ahead after such a tag: enough for the small tags that follow and
// the next header, little of the next big frame, which is better read
// straight too.
constexpr int64_t kShortRead = 4 * 1024;

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

bool TagReader::open(const char* path) {
  if (!file_.open(path, platform::File::Mode::kRead)) return false;
  fileSize_ = file_.size();
  buffer_.resize(kBufferSize);
  return true;
}

bool TagReader::seek(int64_t offset) {
  if (offset < 0) return false;
  bufferPos_ = bufferLen_ = 0;
  position_ = offset;
  return file_.seek(offset);
}

bool TagReader::fill(int64_t n) {
  if (buffered() >= n) return true;
  if (n > static_cast<int64_t>(buffer_.size())) return false;
  // Move what is left to the front, then top the buffer up.
  int64_t left = buffered();
  if (left > 0 && bufferPos_ > 0) std::memmove(buffer_.data(), buffer_.data() + bufferPos_, static_cast<size_t>(left));
  bufferPos_ = 0;
  bufferLen_ = left;
  int64_t limit = readShort_ ? std::min(std::max(n, kShortRead), kBufferSize) : kBufferSize;
  while (bufferLen_ < n) {
    int64_t got = file_.read(buffer_.data() + bufferLen_, limit - bufferLen_);
    if (got <= 0) return false;
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
  while (rest > 0) {
    int64_t got = file_.read(out + (n - rest), rest);
    if (got <= 0) return false;
    rest -= got;
    position_ += got;
  }
  return true;
}

bool TagReader::readHeader(FlvHeaderRecord* header) {
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

// A tag header can stand here: a known type, no reserved bits set, and data
// that ends inside the file.
bool TagReader::plausibleTagHere() {
  const uint8_t* h = bufferData();
  int type = h[0] & 0x1F;
  if ((h[0] & 0xC0) != 0 || (type != flv::kAudio && type != flv::kVideo && type != flv::kScript)) return false;
  int64_t end = position_ + int64_t{flv::kTagHeaderSize} + flv::readU24(h + 1);
  if (end > fileSize_) fileSize_ = file_.size();
  return end <= fileSize_;
}

// Damage in place of a tag header: moves byte by byte to the next position
// where a plausible header stands, with StreamID 0 and a PreviousTagSize
// that matches it (or the end of the file right after its data). A damaged
// tag costs that tag, not the rest of the file. False at the end of the file.
bool TagReader::resync() {
  for (;;) {
    consume(1);
    if (!fill(flv::kTagHeaderSize)) return false;
    const uint8_t* h = bufferData();
    if (flv::readU24(h + 8) != 0 || !plausibleTagHere()) continue;
    uint32_t rawSize = static_cast<uint32_t>(flv::kTagHeaderSize) + flv::readU24(h + 1);
    uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
    int64_t got = file_.readAt(previousTagSize, sizeof previousTagSize, position_ + rawSize);
    if (got == 0 || (got == sizeof previousTagSize && flv::readU32(previousTagSize) == rawSize)) return true;
  }
}

bool TagReader::readTag(TagRecord* tag, bool skipVideoData) {
  std::memset(tag, 0, sizeof *tag);
  if (!fill(flv::kTagHeaderSize)) return false;
  if (!plausibleTagHere() && !resync()) return false;
  uint32_t dataSize = flv::readU24(bufferData() + 1);
  int64_t rawSize = int64_t{flv::kTagHeaderSize} + dataSize;
  int64_t tagPosition = position_;
  if (skipVideoData && (bufferData()[0] & 0x1F) == flv::kVideo && dataSize > TARVEL_VIDEO_HEAD_BYTES) {
    return readVideoHead(tag, dataSize);
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
      return false;
    }
  }
  if (!readTagBytes(tag_.data(), rawSize)) return false;  // truncated: end of input
  std::memset(tag_.data() + rawSize, 0, TARVEL_TAG_PADDING);
  // PreviousTagSize: its value is not trusted (the writer recomputes it);
  // a file that ends right after the last tag's data still yields that tag.
  if (fill(flv::kPreviousTagSizeBytes)) {
    consume(flv::kPreviousTagSizeBytes);
  } else {
    consume(buffered());
  }
  describeTag(tag_.data(), static_cast<uint32_t>(rawSize), tagPosition, tag);
  tag->rawCapacity = static_cast<uint32_t>(tag_.size());
  return true;
}

// The tag's header and the first data bytes (the flags byte and what codecs
// put right after it, such as the AVC packet type); the rest is moved over
// as skipTag does. The data ends inside the file (checked by the caller).
bool TagReader::readVideoHead(TagRecord* tag, uint32_t dataSize) {
  constexpr int64_t kHeld = int64_t{flv::kTagHeaderSize} + TARVEL_VIDEO_HEAD_BYTES;
  if (tag_.size() < kHeld + TARVEL_TAG_PADDING) tag_.resize(kHeld + TARVEL_TAG_PADDING);
  int64_t tagPosition = position_;
  if (!fill(kHeld)) return false;
  std::memcpy(tag_.data(), bufferData(), kHeld);
  std::memset(tag_.data() + kHeld, 0, TARVEL_TAG_PADDING);
  int64_t whole = int64_t{flv::kTagHeaderSize} + dataSize + int64_t{flv::kPreviousTagSizeBytes};
  if (buffered() >= whole) {
    consume(whole);
  } else {
    readShort_ = true;
    if (!seek(position_ + whole)) return false;
  }
  describeTag(tag_.data(), static_cast<uint32_t>(kHeld), tagPosition, tag);
  tag->dataSize = dataSize;
  tag->rawCapacity = static_cast<uint32_t>(tag_.size());
  return true;
}

bool TagReader::skipTag(uint8_t head[12], uint32_t* dataSize) {
  if (!fill(flv::kTagHeaderSize)) return false;
  if (!plausibleTagHere() && !resync()) return false;
  *dataSize = flv::readU24(bufferData() + 1);
  std::memcpy(head, bufferData(), flv::kTagHeaderSize);
  // The data ends inside the file (checked above), so its first byte is there.
  head[flv::kTagHeaderSize] = *dataSize > 0 && fill(flv::kTagHeaderSize + 1) ? bufferData()[flv::kTagHeaderSize] : 0;
  int64_t whole = int64_t{flv::kTagHeaderSize} + *dataSize + int64_t{flv::kPreviousTagSizeBytes};
  if (buffered() >= whole) {
    consume(whole);
    return true;
  }
  readShort_ = true;
  return seek(position_ + whole);
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
  return tarvel::readerOf(reader)->readTag(tag, mode == TARVEL_READ_SKIP_VIDEO) ? 1 : 0;
}

void Flv_FreeTag(TagRecord* tag) {
  // The bytes belong to the reader and are reused for its next tag.
  if (!tag) return;
  tag->payload = nullptr;
  tag->raw = nullptr;
  tag->payloadSize = 0;
  tag->rawSize = 0;
}

}  // extern "C"

