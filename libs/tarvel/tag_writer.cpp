// The writer behind the C interface's writer handles: buffered appends of
// the header and of tags from their raw bytes, each followed by its
// PreviousTagSize. A failed write is remembered and reported at close, so
// a truncated file is never taken for a complete one.
//
// The writer also describes what it writes, tag by tag, as the metadata
// rebuild's walk would describe the finished file, so that the file gets its
// metadata at close without being read back.
//
// Tags written from a reader's input (Flv_WriteTagFrom) are written from
// the reader's buffer: the new header and PreviousTagSize go over the old
// ones there, and the tags that follow one another in the input go out as
// one piece, crossing user memory once. The writes are made in the
// background (platform::WriteBehind) while the reader fills its other
// buffer and the caller works on the next tags.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_build.h"
#include "libs/tarvel/meta_scan.h"
#include "libs/tarvel/metadata_internal.h"
#include "libs/tarvel/tag_reader.h"
#include "libs/tarvel/tarvel.h"
#include "platform/file.h"
#include "platform/write_behind.h"

namespace tarvel {
namespace {

// Small tags are gathered in a buffer and written together; a buffer that
// stays in the processor's cache makes the copy into it nearly free.
constexpr size_t kBufferSize = 256 * 1024;
// A tag at least this large is written from the caller's bytes, not copied
// into the buffer first: big video frames cross user memory once.
constexpr size_t kDirectBytes = 32 * 1024;
// Pieces of one gathered write.
constexpr size_t kMaxSpans = 1024;

// Bytes held in memory that stand at an offset of the file being written;
// those past them come from the reader's input, where the tag was read
// (input offset inputAt for the first held byte), when there is a reader.
class HeldBytes final : public ByteSource {
 public:
  HeldBytes(int64_t offset, const uint8_t* bytes, size_t size, TagReader* reader = nullptr, int64_t inputAt = 0,
            std::vector<uint8_t>* scratch = nullptr)
      : offset_(offset), bytes_(bytes), size_(size), reader_(reader), inputAt_(inputAt), scratch_(scratch) {}
  const uint8_t* at(int64_t offset, size_t n) override {
    if (n > kScanWindowBytes || offset < offset_) return nullptr;
    if (offset - offset_ + static_cast<int64_t>(n) <= static_cast<int64_t>(size_)) return bytes_ + (offset - offset_);
    if (!reader_) return nullptr;
    scratch_->resize(n);
    if (!reader_->readInput(scratch_->data(), static_cast<int64_t>(n), inputAt_ + (offset - offset_))) return nullptr;
    return scratch_->data();
  }

 private:
  int64_t offset_;
  const uint8_t* bytes_;
  size_t size_;
  TagReader* reader_;
  int64_t inputAt_;
  std::vector<uint8_t>* scratch_;
};

class TagWriter final : public InputBufferUser {
 public:
  TagWriter() = default;
  TagWriter(const TagWriter&) = delete;
  TagWriter& operator=(const TagWriter&) = delete;
  ~TagWriter() {
    leaveSource();
    drain();
  }

  bool open(const char* path) {
    if (!file_.open(path, platform::File::Mode::kCreate)) return false;
    path_ = path;
    reserveBatches();
    return true;
  }

  // The file at path, when it is `expected` and not reached through a link:
  // checked on the open handle before the first byte changes.
  bool openExisting(const char* path, const FlvFileVersion& expected) {
    platform::FileVersion v;
    if (!file_.open(path, platform::File::Mode::kReadWriteNoLink) || !file_.version(&v) ||
        v.id.device != expected.device || v.id.index != expected.index ||
        (v.size > 0 && !file_.truncate(0))) {
      file_.close();
      return false;
    }
    path_ = path;
    reserveBatches();
    return true;
  }

  bool append(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    position_ += static_cast<int64_t>(n);
    Batch* b = &batches_[current_];
    if (b->buffer.size() + n > kBufferSize || n >= kDirectBytes || b->spans.size() == kMaxSpans) {
      if (n >= kDirectBytes) return drain() && put(bytes, n);
      if (!submit()) return false;
      b = &batches_[current_];
    }
    size_t at = b->buffer.size();
    b->buffer.insert(b->buffer.end(), bytes, bytes + n);
    addSpan(b->buffer.data() + at, n);
    return true;
  }

  // Bytes of the source's buffer, written with the next gathered write.
  bool appendHeld(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    position_ += static_cast<int64_t>(n);
    if (batches_[current_].spans.size() == kMaxSpans && !submit()) return false;
    addSpan(bytes, n);
    return true;
  }

  // n bytes of the source's input at offset, read into the buffer.
  bool appendFromInput(TagReader& reader, int64_t offset, size_t n) {
    while (n > 0 && !failed_) {
      Batch* b = &batches_[current_];
      if (b->buffer.size() == kBufferSize || b->spans.size() == kMaxSpans) {
        if (!submit()) return false;
        b = &batches_[current_];
      }
      size_t at = b->buffer.size();
      size_t chunk = std::min(n, kBufferSize - at);
      b->buffer.resize(at + chunk);
      if (!reader.readInput(b->buffer.data() + at, static_cast<int64_t>(chunk), offset)) {
        failed_ = true;
        return false;
      }
      addSpan(b->buffer.data() + at, chunk);
      position_ += static_cast<int64_t>(chunk);
      offset += static_cast<int64_t>(chunk);
      n -= chunk;
    }
    return !failed_;
  }

  // The file header and the room for metadata, as written.
  bool writeFront(const std::vector<uint8_t>& front) {
    if (position_ != 0) described_ = false;
    if (!append(front.data(), front.size())) return false;
    if (!described_) return true;
    front_ = front;
    scan_.fileSize = scan_.firstTag = scan_.endOfTags = flv::kHeaderSize + flv::kPreviousTagSizeBytes;
    const uint8_t* room = front.data() + scan_.firstTag;
    size_t roomSize = flv::kTagHeaderSize + flv::readU24(room + 1);
    HeldBytes bytes(scan_.firstTag, room, roomSize);
    return describe(bytes, room, roomSize);
  }

  // A tag from its raw bytes, then its PreviousTagSize.
  bool writeTag(const uint8_t* raw, uint32_t rawSize) {
    if (front_.empty()) described_ = false;
    if (described_) {
      HeldBytes bytes(scan_.endOfTags, raw, rawSize);
      if (!describe(bytes, raw, rawSize)) return false;
    }
    uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
    flv::writeU32(previousTagSize, rawSize);
    return append(raw, rawSize) && append(previousTagSize, sizeof previousTagSize);
  }

  // A tag that reader has read: its header from the record, its data from
  // the input (the reader's buffer where it holds it, the record where it
  // holds it all, else read), then its PreviousTagSize.
  bool writeTagFrom(TagReader& reader, const TagRecord& tag) {
    if (!tag.raw || tag.rawSize < flv::kTagHeaderSize) return false;
    uint32_t dataSize = flv::readU24(tag.raw + 1);
    if (dataSize != tag.dataSize) return false;
    uint32_t rawSize = static_cast<uint32_t>(flv::kTagHeaderSize) + dataSize;
    size_t held = std::min(tag.rawSize, rawSize);
    if (front_.empty()) described_ = false;
    if (described_) {
      HeldBytes bytes(scan_.endOfTags, tag.raw, held, &reader, tag.filePosition, &scratch_);
      if (!describe(bytes, tag.raw, rawSize)) return false;
    }
    if (source_ != &reader) {
      leaveSource();
      if (!reader.attach(this)) {
        failed_ = true;  // the tag is lost: the file is incomplete
        return false;
      }
      source_ = &reader;
    }
    int64_t dataAt = tag.filePosition + int64_t{flv::kTagHeaderSize};
    uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
    flv::writeU32(previousTagSize, rawSize);
    // The tag as the reader's buffer holds it, with its PreviousTagSize:
    // written from there with the new header and the size put in. Only
    // once per byte: a tag before one written so, or written again, would
    // change bytes a pending write still points to.
    int64_t end = tag.filePosition + int64_t{rawSize} + int64_t{flv::kPreviousTagSizeBytes};
    if (tag.filePosition >= heldEnd_) {
      if (uint8_t* bytes = reader.held(tag.filePosition, end - tag.filePosition)) {
        std::memmove(bytes, tag.raw, flv::kTagHeaderSize);
        std::memcpy(bytes + rawSize, previousTagSize, sizeof previousTagSize);
        heldEnd_ = end;
        return appendHeld(bytes, rawSize + sizeof previousTagSize);
      }
    }
    bool data;
    if (const uint8_t* bytes = dataSize > 0 ? reader.held(dataAt, dataSize) : nullptr) {
      // Pending from the buffer now: no tag inside these bytes (a caller
      // may have read one there) is patched in place after this.
      heldEnd_ = std::max(heldEnd_, dataAt + int64_t{dataSize});
      data = append(tag.raw, flv::kTagHeaderSize) && appendHeld(bytes, dataSize);
    } else if (held == rawSize) {
      data = append(tag.raw, rawSize);
    } else {
      data = append(tag.raw, flv::kTagHeaderSize) && appendFromInput(reader, dataAt, dataSize);
    }
    return data && append(previousTagSize, sizeof previousTagSize);
  }

  // Hands the pending write over to the background and takes the other
  // batch, once the write made of it before is done. With nothing to hand
  // over, every write is waited for: the caller may be about to reuse what
  // the last one points to.
  bool submit() {
    Batch& b = batches_[current_];
    bool handed = !failed_ && !b.spans.empty();
    if (handed) {
      behind_.submit(b.spans.data(), b.spans.size());
      current_ ^= 1;
    }
    if (!behind_.wait(handed ? 1 : 0)) failed_ = true;
    batches_[current_].buffer.clear();
    batches_[current_].spans.clear();
    return !failed_;
  }

  // Everything appended is written (or has failed).
  bool drain() {
    bool ok = submit();
    if (!behind_.wait(0)) failed_ = true;
    return ok && !failed_;
  }

  bool close() {
    leaveSource();
    bool ok = drain();
    return file_.close() && ok;
  }

  // Out of memory part way through a tag: the file is incomplete.
  void markFailed() { failed_ = true; }

  // The source reads into its other buffer next: what is pending from this
  // one is handed over, and the writes from the other are done.
  void releaseInputBuffer() override { submit(); }
  void detachFromReader() override {
    drain();
    source_ = nullptr;
    heldEnd_ = 0;
  }

  // Closes the file with fresh metadata in front. False when the file is not
  // complete; *metadata tells whether the metadata is in place.
  bool closeWithMetadata(bool* metadata) {
    *metadata = false;
    leaveSource();
    if (!drain()) {
      file_.close();
      return false;
    }
    UpdateResult result = UpdateResult::kNotTried;
    if (described_) {
      HeldBytes last(lastAudioAt_, lastAudio_.data(), lastAudio_.size());
      measureLastAudio(last, &scan_);
      result = updateWrittenFile(scan_, file_, front_);
    }
    // The file is opened again by its name below: only this file, as
    // written, is updated there, not another put at the name since.
    platform::FileVersion written;
    bool known = file_.version(&written);
    if (!file_.close() || result == UpdateResult::kDamaged) return false;
    if (result == UpdateResult::kNotTried && known) {
      // Metadata that outgrows the room, or tags the description cannot
      // follow: the file is updated as any other file is.
      result = described_ ? updateMetadata(scan_, path_.c_str(), written.id) : refreshByPath(written.id);
      if (result == UpdateResult::kDamaged) return false;
    }
    *metadata = result == UpdateResult::kDone || result == UpdateResult::kDoneByCopy;
    return true;
  }

 private:
  void reserveBatches() {
    // Pending pieces point into the buffers: they never grow past this.
    for (Batch& b : batches_) {
      b.buffer.reserve(kBufferSize);
      b.spans.reserve(kMaxSpans);
    }
  }

  void addSpan(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    std::vector<platform::ByteSpan>& spans = batches_[current_].spans;
    if (!spans.empty()) {
      platform::ByteSpan& last = spans.back();
      if (static_cast<const uint8_t*>(last.data) + last.size == bytes) {
        last.size += n;
        return;
      }
    }
    spans.push_back({bytes, n});
  }

  // Writes what is pending from the source's buffers and lets the source go.
  void leaveSource() {
    if (!source_) return;
    drain();
    source_->detach(this);
    source_ = nullptr;
    heldEnd_ = 0;
  }

  bool put(const uint8_t* bytes, size_t n) {
    if (!file_.write(bytes, static_cast<int64_t>(n))) {
      failed_ = true;
      return false;
    }
    return true;
  }

  // What the tag about to be written at the end of the file adds to its
  // description, from its header and its bytes. False when out of memory.
  bool describe(ByteSource& tag, const uint8_t* raw, size_t rawSize) {
    try {
      int64_t at = scan_.endOfTags;
      if (!noteTag(tag, at, raw, &scan_)) {
        described_ = false;  // the walk would stop here: leave it to the walk
        return true;
      }
      if (scan_.lastAudioPosition == at) {
        // The latest audio tag so far: keep what measuring its length reads,
        // the flags byte (the extended header's first) and a window after it.
        size_t from = flv::kTagHeaderSize;
        size_t n = rawSize > from + 1 ? std::min(rawSize - from - 1, kScanWindowBytes) : 0;
        const uint8_t* flags = n > 0 ? tag.at(at + static_cast<int64_t>(from), 1) : nullptr;
        lastAudio_.clear();
        if (flags) {
          lastAudio_.push_back(*flags);
          const uint8_t* bytes = tag.at(at + static_cast<int64_t>(from) + 1, n);
          if (bytes) {
            lastAudio_.insert(lastAudio_.end(), bytes, bytes + n);
          } else {
            lastAudio_.clear();
          }
        }
        lastAudioAt_ = at + static_cast<int64_t>(from);
      }
      scan_.endOfTags = scan_.fileSize = at + static_cast<int64_t>(rawSize) + flv::kPreviousTagSizeBytes;
      return true;
    } catch (const std::bad_alloc&) {
      failed_ = true;
      return false;
    }
  }

  UpdateResult refreshByPath(const platform::FileId& id) {
    platform::File in;
    platform::FileVersion v;
    FlvScan scan;
    if (!in.open(path_.c_str(), platform::File::Mode::kReadNoLink) || !in.version(&v) || !(v.id == id) ||
        !scanFlv(in, &scan))
      return UpdateResult::kFailed;
    in.close();
    return updateMetadata(scan, path_.c_str(), id);
  }

  platform::File file_;
  std::string path_;
  // A gathered write: pieces of its buffer and of the source's buffer. One
  // is filled while the other may be being written.
  struct Batch {
    std::vector<uint8_t> buffer;
    std::vector<platform::ByteSpan> spans;
  };
  Batch batches_[2];
  int current_ = 0;
  platform::WriteBehind behind_{file_};
  TagReader* source_ = nullptr;  // whose buffers pending pieces may point into
  int64_t heldEnd_ = 0;  // input offset past the last tag written from its buffer
  std::vector<uint8_t> scratch_;  // input bytes the description reads
  bool failed_ = false;
  int64_t position_ = 0;  // bytes appended so far
  // The file as the metadata walk would see it, while described_ holds.
  bool described_ = true;
  FlvScan scan_;
  std::vector<uint8_t> front_;
  std::vector<uint8_t> lastAudio_;
  int64_t lastAudioAt_ = 0;
};

}  // namespace
}  // namespace tarvel

using tarvel::TagWriter;

extern "C" {

void* CreateFileWriteAble(const char* path) {
  if (!path) return nullptr;
  try {
    auto* writer = new TagWriter;
    if (!writer->open(path)) {
      delete writer;
      return nullptr;
    }
    return writer;
  } catch (...) {
    return nullptr;
  }
}

void* CreateFileWriteAbleChecked(const char* path, const FlvFileVersion* file) {
  if (!path || !file) return nullptr;
  try {
    auto* writer = new TagWriter;
    if (!writer->openExisting(path, *file)) {
      delete writer;
      return nullptr;
    }
    return writer;
  } catch (...) {
    return nullptr;
  }
}

int32_t DeleteFileWritable(void* writer) {
  if (!writer) return 0;
  auto* w = static_cast<TagWriter*>(writer);
  bool ok = w->close();
  delete w;
  return ok ? 1 : 0;
}

int32_t Flv_CloseWithMetadata(void* writer, int32_t* metadataWritten) {
  if (metadataWritten) *metadataWritten = 0;
  if (!writer) return 0;
  auto* w = static_cast<TagWriter*>(writer);
  bool metadata = false;
  bool ok = false;
  try {
    ok = w->closeWithMetadata(&metadata);
  } catch (const std::bad_alloc&) {
    ok = w->close();
  }
  const int error = errno;  // the failure's reason, whatever the cleanup does
  delete w;
  errno = error;
  if (metadataWritten) *metadataWritten = metadata ? 1 : 0;
  return ok ? 1 : 0;
}

int32_t Flv_WriteHeader(void* writer, const FlvHeaderRecord* header) {
  if (!writer || !header) return 0;
  uint8_t bytes[flv::kHeaderSize + flv::kPreviousTagSizeBytes] = {};
  std::memcpy(bytes, header->signature, 3);               // Signature
  bytes[3] = header->version;                              // Version
  bytes[4] = header->flags;                                // TypeFlags
  flv::writeU32(bytes + 5, flv::kHeaderSize);              // DataOffset
  flv::writeU32(bytes + flv::kHeaderSize, 0);              // PreviousTagSize0
  auto* w = static_cast<TagWriter*>(writer);
  try {
    std::vector<uint8_t> front(bytes, bytes + sizeof bytes);
    std::vector<uint8_t> room = tarvel::placeholderTag(tarvel::metadataRoomBytes(header->sizeClass));
    front.insert(front.end(), room.begin(), room.end());
    return w->writeFront(front) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int32_t Flv_WriteTag(void* writer, const TagRecord* tag) {
  if (!writer || !tag || !tag->raw) return 0;
  // The size comes from the tag's own header, whatever the record says.
  uint32_t rawSize = static_cast<uint32_t>(flv::kTagHeaderSize) + flv::readU24(tag->raw + 1);
  if (tag->rawSize != 0 && tag->rawSize != rawSize) return 0;
  return static_cast<TagWriter*>(writer)->writeTag(tag->raw, rawSize) ? 1 : 0;
}

int32_t Flv_WriteTagFrom(void* writer, void* reader, const TagRecord* tag) {
  if (!writer || !reader || !tag) return 0;
  try {
    return static_cast<TagWriter*>(writer)->writeTagFrom(*tarvel::readerOf(reader), *tag) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    static_cast<TagWriter*>(writer)->markFailed();
    return 0;
  }
}

}  // extern "C"
