// The writer behind the C interface's writer handles: buffered appends of
// the header and of tags from their raw bytes, each followed by its
// PreviousTagSize. A failed write is remembered and reported at close, so
// a truncated file is never taken for a complete one.
//
// The writer also describes what it writes, tag by tag, as the metadata
// rebuild's walk would describe the finished file, so that the file gets its
// metadata at close without being read back.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_build.h"
#include "libs/tarvel/meta_scan.h"
#include "libs/tarvel/metadata_internal.h"
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

// Bytes held in memory that stand at an offset of the file being written.
class HeldBytes final : public ByteSource {
 public:
  HeldBytes(int64_t offset, const uint8_t* bytes, size_t size) : offset_(offset), bytes_(bytes), size_(size) {}
  const uint8_t* at(int64_t offset, size_t n) override {
    if (n > kScanWindowBytes || offset < offset_ || offset - offset_ + static_cast<int64_t>(n) > static_cast<int64_t>(size_)) {
      return nullptr;
    }
    return bytes_ + (offset - offset_);
  }

 private:
  int64_t offset_;
  const uint8_t* bytes_;
  size_t size_;
};

class TagWriter {
 public:
  bool open(const char* path) {
    if (!file_.open(path, platform::File::Mode::kCreate)) return false;
    path_ = path;
    buffer_.reserve(kBufferSize);
    return true;
  }

  bool append(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    position_ += static_cast<int64_t>(n);
    if (buffer_.size() + n > kBufferSize || n >= kDirectBytes) {
      if (!flush()) return false;
      if (n >= kDirectBytes) return put(bytes, n);
    }
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    return true;
  }

  // The file header and the room for metadata, as written.
  bool writeFront(const std::vector<uint8_t>& front) {
    if (position_ != 0) described_ = false;
    if (!append(front.data(), front.size())) return false;
    if (!described_) return true;
    front_ = front;
    scan_.fileSize = scan_.firstTag = scan_.endOfTags = flv::kHeaderSize + flv::kPreviousTagSizeBytes;
    const uint8_t* room = front.data() + scan_.firstTag;
    return describe(room, flv::kTagHeaderSize + flv::readU24(room + 1));
  }

  // A tag from its raw bytes, then its PreviousTagSize.
  bool writeTag(const uint8_t* raw, uint32_t rawSize) {
    if (front_.empty()) described_ = false;
    if (described_ && !describe(raw, rawSize)) return false;
    uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
    flv::writeU32(previousTagSize, rawSize);
    return append(raw, rawSize) && append(previousTagSize, sizeof previousTagSize);
  }

  bool flush() {
    if (failed_) return false;
    bool ok = buffer_.empty() || put(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

  bool close() {
    bool ok = flush();
    return file_.close() && ok;
  }

  // Closes the file with fresh metadata in front. False when the file is not
  // complete; *metadata tells whether the metadata is in place.
  bool closeWithMetadata(bool* metadata) {
    *metadata = false;
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
  bool put(const uint8_t* bytes, size_t n) {
    if (!file_.write(bytes, static_cast<int64_t>(n))) {
      failed_ = true;
      return false;
    }
    return true;
  }

  // What the tag about to be written at the end of the file adds to its
  // description. False when out of memory.
  bool describe(const uint8_t* raw, size_t rawSize) {
    try {
      int64_t at = scan_.endOfTags;
      HeldBytes tag(at, raw, rawSize);
      if (!noteTag(tag, at, raw, &scan_)) {
        described_ = false;  // the walk would stop here: leave it to the walk
        return true;
      }
      if (scan_.lastAudioPosition == at) {
        // The latest audio tag so far: keep what measuring its length reads.
        size_t from = flv::kTagHeaderSize + 1;
        size_t n = rawSize > from ? std::min(rawSize - from, kScanWindowBytes) : 0;
        lastAudio_.assign(raw + from, raw + from + n);
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

}  // extern "C"
