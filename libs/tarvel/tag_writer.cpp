// The writer behind the C interface's writer handles: buffered appends of
// the header and of tags from their raw bytes, each followed by its
// PreviousTagSize. A failed write is remembered and reported at close, so
// a truncated file is never taken for a complete one.
//
// The writer also describes what it writes, tag by tag, as the metadata
// rebuild's walk would describe the finished file, so that the file gets its
// metadata at close without being read back.
//
// Tags written from a reader's input (Flv_WriteTagFrom) take their data from
// the reader's view of it: the writer gathers the new headers and the viewed
// data into one write of many pieces, so the data goes from the input's
// pages to the file without passing through a buffer.
#include <algorithm>
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

namespace tarvel {
namespace {

// Small tags are gathered in a buffer and written together; a buffer that
// stays in the processor's cache makes the copy into it nearly free.
constexpr size_t kBufferSize = 256 * 1024;
// A tag at least this large is written from the caller's bytes, not copied
// into the buffer first: big video frames cross user memory once.
constexpr size_t kDirectBytes = 32 * 1024;
// Pieces of one gathered write, and the viewed bytes after which it is made.
constexpr size_t kMaxSpans = 1024;
constexpr size_t kViewedBytes = 1024 * 1024;

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

class TagWriter final : public InputViewUser {
 public:
  TagWriter() = default;
  TagWriter(const TagWriter&) = delete;
  TagWriter& operator=(const TagWriter&) = delete;
  ~TagWriter() { leaveSource(); }

  bool open(const char* path) {
    if (!file_.open(path, platform::File::Mode::kCreate)) return false;
    path_ = path;
    // Pending pieces point into the buffer: it never grows past this.
    buffer_.reserve(kBufferSize);
    spans_.reserve(kMaxSpans);
    return true;
  }

  bool append(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    position_ += static_cast<int64_t>(n);
    if (buffer_.size() + n > kBufferSize || n >= kDirectBytes || spans_.size() == kMaxSpans) {
      if (!flush()) return false;
      if (n >= kDirectBytes) return put(bytes, n);
    }
    size_t at = buffer_.size();
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    addSpan(buffer_.data() + at, n);
    return true;
  }

  // Bytes of the source's view, written with the next gathered write.
  bool appendViewed(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    position_ += static_cast<int64_t>(n);
    if (spans_.size() == kMaxSpans && !flush()) return false;
    addSpan(bytes, n);
    viewedBytes_ += n;
    return viewedBytes_ < kViewedBytes || flush();
  }

  // n bytes of the source's input at offset, read into the buffer.
  bool appendFromInput(TagReader& reader, int64_t offset, size_t n) {
    while (n > 0 && !failed_) {
      if (buffer_.size() == kBufferSize || spans_.size() == kMaxSpans) flush();
      size_t at = buffer_.size();
      size_t chunk = std::min(n, kBufferSize - at);
      buffer_.resize(at + chunk);
      if (!reader.readInput(buffer_.data() + at, static_cast<int64_t>(chunk), offset)) {
        failed_ = true;
        return false;
      }
      addSpan(buffer_.data() + at, chunk);
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

  // A tag that reader has just read: its header from the record, its data
  // from the input (the view where it holds it, the record where it holds
  // it all, else read), then its PreviousTagSize.
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
      reader.attach(this);
      source_ = &reader;
    }
    int64_t dataAt = tag.filePosition + int64_t{flv::kTagHeaderSize};
    uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
    flv::writeU32(previousTagSize, rawSize);
    bool data;
    if (const uint8_t* viewed = dataSize > 0 ? reader.viewed(dataAt, dataSize) : nullptr) {
      data = append(tag.raw, flv::kTagHeaderSize) && appendViewed(viewed, dataSize);
    } else if (held == rawSize) {
      data = append(tag.raw, rawSize);
    } else {
      data = append(tag.raw, flv::kTagHeaderSize) && appendFromInput(reader, dataAt, dataSize);
    }
    return data && append(previousTagSize, sizeof previousTagSize);
  }

  bool flush() {
    if (failed_) return false;
    bool ok = spans_.empty() || file_.writeSpans(spans_.data(), spans_.size());
    if (!ok) failed_ = true;
    spans_.clear();
    buffer_.clear();
    viewedBytes_ = 0;
    return ok;
  }

  bool close() {
    leaveSource();
    bool ok = flush();
    return file_.close() && ok;
  }

  // The source's view moves or goes: what is pending from it is written.
  void releaseInputView() override { flush(); }
  void detachFromReader() override {
    flush();
    source_ = nullptr;
  }

  // Closes the file with fresh metadata in front. False when the file is not
  // complete; *metadata tells whether the metadata is in place.
  bool closeWithMetadata(bool* metadata) {
    *metadata = false;
    leaveSource();
    if (!flush()) {
      file_.close();
      return false;
    }
    UpdateResult result = UpdateResult::kNotTried;
    if (described_) {
      HeldBytes last(lastAudioAt_, lastAudio_.data(), lastAudio_.size());
      measureLastAudio(last, &scan_);
      result = updateWrittenFile(scan_, file_, front_);
    }
    if (!file_.close() || result == UpdateResult::kDamaged) return false;
    if (result == UpdateResult::kNotTried) {
      // Metadata that outgrows the room, or tags the description cannot
      // follow: the file is updated as any other file is.
      result = described_ ? updateMetadata(scan_, path_.c_str()) : refreshByPath();
      if (result == UpdateResult::kDamaged) return false;
    }
    *metadata = result == UpdateResult::kDone || result == UpdateResult::kDoneByCopy;
    return true;
  }

 private:
  void addSpan(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    if (!spans_.empty()) {
      platform::ByteSpan& last = spans_.back();
      if (static_cast<const uint8_t*>(last.data) + last.size == bytes) {
        last.size += n;
        return;
      }
    }
    spans_.push_back({bytes, n});
  }

  // Writes what is pending from the source's view and lets the source go.
  void leaveSource() {
    if (!source_) return;
    flush();
    source_->detach(this);
    source_ = nullptr;
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
        // The latest audio tag so far: keep what measuring its length reads.
        size_t from = flv::kTagHeaderSize + 1;
        size_t n = rawSize > from ? std::min(rawSize - from, kScanWindowBytes) : 0;
        const uint8_t* bytes = n > 0 ? tag.at(at + static_cast<int64_t>(from), n) : nullptr;
        if (bytes) {
          lastAudio_.assign(bytes, bytes + n);
        } else {
          lastAudio_.clear();
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

  UpdateResult refreshByPath() {
    platform::File in;
    FlvScan scan;
    if (!in.open(path_.c_str(), platform::File::Mode::kRead) || !scanFlv(in, &scan)) return UpdateResult::kFailed;
    in.close();
    return updateMetadata(scan, path_.c_str());
  }

  platform::File file_;
  std::string path_;
  std::vector<uint8_t> buffer_;
  // The pending gathered write: pieces of the buffer and of the source's view.
  std::vector<platform::ByteSpan> spans_;
  size_t viewedBytes_ = 0;
  TagReader* source_ = nullptr;  // whose view pending pieces may point into
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
  delete w;
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
    return 0;
  }
}

}  // extern "C"
