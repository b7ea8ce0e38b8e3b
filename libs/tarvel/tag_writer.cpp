// The writer behind the C interface's writer handles: buffered appends of
// the header and of tags from their raw bytes, each followed by its
// PreviousTagSize. A failed write is remembered and reported at close, so
// a truncated file is never taken for a complete one.
#include <cstring>
#include <new>
#include <vector>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_build.h"
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

class TagWriter {
 public:
  bool open(const char* path) {
    if (!file_.open(path, platform::File::Mode::kCreate)) return false;
    buffer_.reserve(kBufferSize);
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
    buffer_.reserve(kBufferSize);
    return true;
  }

  bool append(const uint8_t* bytes, size_t n) {
    if (failed_) return false;
    if (buffer_.size() + n > kBufferSize || n >= kDirectBytes) {
      if (!flush()) return false;
      if (n >= kDirectBytes) return put(bytes, n);
    }
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    return true;
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

 private:
  bool put(const uint8_t* bytes, size_t n) {
    if (!file_.write(bytes, static_cast<int64_t>(n))) {
      failed_ = true;
      return false;
    }
    return true;
  }

  platform::File file_;
  std::vector<uint8_t> buffer_;
  bool failed_ = false;
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

int32_t Flv_WriteHeader(void* writer, const FlvHeaderRecord* header) {
  if (!writer || !header) return 0;
  uint8_t bytes[flv::kHeaderSize + flv::kPreviousTagSizeBytes] = {};
  std::memcpy(bytes, header->signature, 3);               // Signature
  bytes[3] = header->version;                              // Version
  bytes[4] = header->flags;                                // TypeFlags
  flv::writeU32(bytes + 5, flv::kHeaderSize);              // DataOffset
  flv::writeU32(bytes + flv::kHeaderSize, 0);              // PreviousTagSize0
  auto* w = static_cast<TagWriter*>(writer);
  if (!w->append(bytes, sizeof bytes)) return 0;
  try {
    std::vector<uint8_t> room = tarvel::placeholderTag(tarvel::metadataRoomBytes(header->sizeClass));
    return w->append(room.data(), room.size()) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int32_t Flv_WriteTag(void* writer, const TagRecord* tag) {
  if (!writer || !tag || !tag->raw) return 0;
  // The size comes from the tag's own header, whatever the record says.
  uint32_t rawSize = static_cast<uint32_t>(flv::kTagHeaderSize) + flv::readU24(tag->raw + 1);
  if (tag->rawSize != 0 && tag->rawSize != rawSize) return 0;
  auto* w = static_cast<TagWriter*>(writer);
  uint8_t previousTagSize[flv::kPreviousTagSizeBytes];
  flv::writeU32(previousTagSize, rawSize);                 // PreviousTagSize
  return w->append(tag->raw, rawSize) && w->append(previousTagSize, sizeof previousTagSize) ? 1 : 0;
}

}  // extern "C"
