// Owners of the library's handles, for its C++ callers (the repairs and the
// converter), so that each is released on every path.
#pragma once

#include <memory>

#include "libs/tarvel/tarvel.h"

namespace tarvel {

struct ReaderCloser {
  void operator()(void* reader) const { DeleteFileReadAble(reader); }
};
using ReaderPtr = std::unique_ptr<void, ReaderCloser>;

// A writer closed by close(), which reports whether the file is complete; one
// that is dropped unclosed is closed all the same.
class Writer {
 public:
  explicit Writer(void* handle) : handle_(handle) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { close(); }
  void* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  bool close() {
    if (!handle_) return true;
    void* h = handle_;
    handle_ = nullptr;
    return DeleteFileWritable(h) != 0;
  }
  // Closes the file with fresh metadata in front (a failure there leaves the
  // file complete without it); false when the file is incomplete.
  bool closeWithMetadata() {
    if (!handle_) return true;
    void* h = handle_;
    handle_ = nullptr;
    return Flv_CloseWithMetadata(h, nullptr) != 0;
  }

 private:
  void* handle_;
};

// A tag record that is freed after each use.
class TagSlot {
 public:
  TagSlot() = default;
  TagSlot(const TagSlot&) = delete;
  TagSlot& operator=(const TagSlot&) = delete;
  ~TagSlot() { Flv_FreeTag(&tag_); }
  // mode: as Flv_ReadTag takes it. Re-timers that only write video read
  // the tags' heads and have the writer take the data from the input.
  bool next(void* reader, int32_t mode = TARVEL_READ_WHOLE) {
    Flv_FreeTag(&tag_);
    return Flv_ReadTag(reader, mode, &tag_) != 0;
  }
  TagRecord& operator*() { return tag_; }
  TagRecord* operator->() { return &tag_; }

 private:
  TagRecord tag_{};
};

}  // namespace tarvel
