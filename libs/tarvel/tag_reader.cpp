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
// The view of the input: a few MiB, so that few pages are held at once, and
// more when one tag with its PreviousTagSize needs more.
constexpr int64_t kViewBytes = 2 * 1024 * 1024;

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
  dropView();
  if (viewUser_) viewUser_->detachFromReader();
}

bool TagReader::open(const char* path) {
  // The repairs open the input again and rewind it: a stream that cannot
  // seek (a terminal, say) is no file to read.
  if (!file_.open(path, platform::File::Mode::kRead) || !file_.seek(0)) return false;
  fileSize_ = sizeAtOpen_ = file_.size();
  // A file that can be viewed is; others (and all where the system has no
  // views) are read through the buffer.
  viewing_ = fileSize_ > 0 && view_.map(file_, 0, std::min(fileSize_, kViewBytes));
  if (viewing_) {
    base_ = view_.data();
    bufferLen_ = view_.size();
  } else {
    buffer_.resize(kBufferSize);
    base_ = buffer_.data();
  }
  return true;
}

// Runs f (a reading step) so that a file cut short under the view fails the
// reader instead of ending the process. Failed readers read nothing more.
template <class F>
bool TagReader::guarded(F&& f) {
  if (failed_) return false;
  if (!viewing_) return f();
  struct Call {
    F* f;
    bool result;
  } call{&f, false};
  auto body = [](void* context) {
    auto* c = static_cast<Call*>(context);
    c->result = (*c->f)();
  };
  if (!platform::runGuarded(view_, body, &call)) {
    failed_ = true;
    dropView();
    return false;
  }
  return call.result;
}

void TagReader::attach(InputViewUser* user) {
  if (viewUser_ == user) return;
  if (viewUser_) viewUser_->detachFromReader();
  viewUser_ = user;
}

void TagReader::detach(InputViewUser* user) {
  if (viewUser_ == user) viewUser_ = nullptr;
}

const uint8_t* TagReader::viewed(int64_t offset, int64_t n) const {
  if (!viewing_ || !view_.mapped() || offset < view_.offset() || offset + n > view_.offset() + view_.size()) {
    return nullptr;
  }
  return view_.data() + (offset - view_.offset());
}

bool TagReader::readInput(uint8_t* out, int64_t n, int64_t offset) {
  return !failed_ && file_.readAt(out, n, offset) == n;
}

void TagReader::dropView() {
  if (viewUser_ && view_.mapped()) viewUser_->releaseInputView();
  view_.release();
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
  position_ = offset;
  prefetched_ = std::min(prefetched_, offset);
  if (viewing_) {
    // The view stays; fill() moves it when it does not hold the bytes.
    int64_t at = offset - view_.offset();
    bool inside = view_.mapped() && at >= 0 && at <= view_.size();
    bufferPos_ = inside ? at : 0;
    bufferLen_ = inside ? view_.size() : 0;
    return true;
  }
  bufferPos_ = bufferLen_ = 0;
  return file_.seek(offset);
}

// Views at least n bytes from the current position, or what the file holds
// of them; false when that is less than n.
bool TagReader::viewFrom(int64_t n) {
  dropView();
  base_ = nullptr;
  bufferPos_ = bufferLen_ = 0;
  int64_t size = file_.size();
  fileSize_ = size;
  if (size < sizeAtOpen_) {
    failed_ = true;
    return false;
  }
  int64_t want = std::min(std::max(n, kViewBytes), size - position_);
  if (want <= 0) return false;
  if (!view_.map(file_, position_, want)) {
    // No view to be had (the system is out of room for one): read on.
    viewing_ = false;
    buffer_.resize(kBufferSize);
    base_ = buffer_.data();
    return file_.seek(position_) && fill(n);
  }
  base_ = view_.data();
  bufferLen_ = want;
  return want >= n;
}

// The bytes ahead, while the caller works on this tag: through a view they
// are not in the processor's cache, as the system's copy into a buffer
// would have put them, and the next headers, audio payloads and the
// system's writes from the view all want them there.
void TagReader::prefetchNext() {
  if (!viewing_) return;
  constexpr int64_t kAhead = 16 * 1024;
  constexpr int64_t kLine = 64;
  int64_t end = std::min(position_ + kAhead, view_.offset() + bufferLen_);
  int64_t from = std::max(prefetched_, position_);
  if (from < view_.offset()) from = view_.offset();
  for (; from < end; from += kLine) __builtin_prefetch(base_ + (from - view_.offset()));
  prefetched_ = std::max(prefetched_, from);
}

bool TagReader::fill(int64_t n) {
  if (buffered() >= n) return true;
  if (viewing_) return viewFrom(n);
  if (n > static_cast<int64_t>(buffer_.size())) return false;
  // Move what is left to the front, then top the buffer up.
  int64_t left = buffered();
  if (left > 0 && bufferPos_ > 0) std::memmove(buffer_.data(), buffer_.data() + bufferPos_, static_cast<size_t>(left));
  bufferPos_ = 0;
  bufferLen_ = left;
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
  if (viewing_) {
    if (!fill(n)) return false;
    std::memcpy(out, bufferData(), static_cast<size_t>(n));
    consume(n);
    return true;
  }
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
    if (got < 0) failed_ = true;
    if (got <= 0) return got == 0 && endOfFile();
    rest -= got;
    position_ += got;
  }
  return true;
}

bool TagReader::readHeader(FlvHeaderRecord* header) {
  return guarded([&] { return readFileHeader(header); });
}

bool TagReader::readTag(TagRecord* tag, int mode) {
  return guarded([&] { return nextTag(tag, mode); });
}

bool TagReader::skipTag(uint8_t head[12], uint32_t* dataSize) {
  return guarded([&] { return skipNextTag(head, dataSize); });
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
  return file_.readAt(out, n, offset);
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
  return depth > 0 && tagFollows(offset + rawSize + int64_t{flv::kPreviousTagSizeBytes}, depth - 1);
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
  if (!sizeMatches(flv::readU32(bufferData()), rawSize) &&
      !tagFollows(position_ + int64_t{flv::kPreviousTagSizeBytes}, 1))
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
    if (!readTagBytes(tag_.data(), rawSize)) return false;  // truncated: end of input
    if (!acceptTrailer(rawSize)) {
      // A DataSize that lies: look again from the byte after this header.
      if (!seek(tagPosition + 1)) return false;
      continue;
    }
    std::memset(tag_.data() + rawSize, 0, TARVEL_TAG_PADDING);
    prefetchNext();
    describeTag(tag_.data(), static_cast<uint32_t>(rawSize), tagPosition, tag);
    tag->rawCapacity = static_cast<uint32_t>(tag_.size());
    return true;
  }
}

// The tag's header and the first data bytes (the flags byte and what codecs
// put right after it, such as the AVC packet type); the rest is moved over
// as skipTag does, leaving the reader at the data's end for acceptTrailer;
// through a view, the view then holds the whole tag and its PreviousTagSize,
// for a writer to write from. The data ends inside the file (checked by the
// caller).
bool TagReader::readHead(TagRecord* tag, uint32_t dataSize) {
  constexpr int64_t kHeld = int64_t{flv::kTagHeaderSize} + TARVEL_VIDEO_HEAD_BYTES;
  if (tag_.size() < kHeld + TARVEL_TAG_PADDING) tag_.resize(kHeld + TARVEL_TAG_PADDING);
  int64_t tagPosition = position_;
  if (!fill(kHeld)) return false;
  std::memcpy(tag_.data(), bufferData(), kHeld);
  std::memset(tag_.data() + kHeld, 0, TARVEL_TAG_PADDING);
  int64_t rawSize = int64_t{flv::kTagHeaderSize} + dataSize;
  if (viewing_) fill(rawSize + int64_t{flv::kPreviousTagSizeBytes});
  if (buffered() >= rawSize) {
    consume(rawSize);
  } else {
    // The read that follows the seek brings the PreviousTagSize and the
    // next header together.
    readShort_ = true;
    if (!seek(position_ + rawSize)) return false;
  }
  prefetchNext();
  describeTag(tag_.data(), static_cast<uint32_t>(kHeld), tagPosition, tag);
  tag->dataSize = dataSize;
  tag->rawCapacity = static_cast<uint32_t>(tag_.size());
  return true;
}

bool TagReader::skipNextTag(uint8_t head[12], uint32_t* dataSize) {
  for (bool refused = false;; refused = true) {
    if (!findTag(refused)) return false;
    int64_t tagPosition = position_;
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

