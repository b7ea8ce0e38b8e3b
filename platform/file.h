// Files with 64-bit offsets, the few file-system operations the tools need,
// and the program's own identity. No OS types cross this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace platform {

// One piece of a gathered write.
struct ByteSpan {
  const void* data;
  size_t size;
};

// An unbuffered file handle; buffering is the caller's business. Every
// operation reports failure instead of throwing. Two readers may hold the
// same file open at once.
class File {
 public:
  enum class Mode {
    kRead,         // existing file, read only, shared with other readers
    kCreate,       // new or truncated file, write only
    kCreateNew,    // new file; fails if the path exists
    kReadWrite,    // existing file, read and write
  };

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kInvalid);
    }
    return *this;
  }
  ~File() { close(); }

  bool open(const char* path, Mode mode);
  bool isOpen() const { return handle_ != kInvalid; }

  // Reads up to n bytes at the current position; returns the count read
  // (0 at end of file) or -1 on error.
  int64_t read(void* buffer, int64_t n);
  // Reads up to n bytes at offset without moving the position.
  int64_t readAt(void* buffer, int64_t n, int64_t offset);
  // Writes all n bytes or fails.
  bool write(const void* buffer, int64_t n);
  // Writes every byte of the spans, in order, at the current position: one
  // gathered write per many spans where the system has them. False on error,
  // among them a span of a FileView whose bytes the file no longer holds.
  bool writeSpans(const ByteSpan* spans, size_t count);
  bool writeAt(const void* buffer, int64_t n, int64_t offset);
  bool seek(int64_t offset);
  int64_t size() const;  // -1 on error
  bool truncate(int64_t size);
  bool sync();
  // Closes the handle; false when the system reports a failure on close.
  bool close();

  // Copies n bytes from in at inOffset to this file at outOffset, in the
  // kernel where the system can (no user-space copy). Returns false on error.
  bool copyFrom(File& in, int64_t inOffset, int64_t outOffset, int64_t n);
  // Inserts n zero bytes at the start of the file by moving its blocks, where
  // the file system supports it; n must be a multiple of blockSize(). False
  // when unsupported or failed; the file is then unchanged.
  bool insertAtStart(int64_t n);
  // Removes the first n bytes by moving its blocks, the inverse of
  // insertAtStart; same conditions. False when unsupported or failed.
  bool removeAtStart(int64_t n);
  // The file system's allocation block size, or 0 if unknown.
  int64_t blockSize() const;

 private:
  friend class FileView;
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

// Bytes of a regular file seen in memory, read only: a mapping of the
// system's cached pages, so that they can be handed to the system again
// (File::writeSpans) without being copied through a buffer first. Where
// another program cuts the file short while it is viewed, the system's
// reads of the bytes cut off fail (the write reports an error), and reading
// them here faults: only inside runGuarded is that a failure instead of the
// end of the process. Where the system cannot map (Windows: files are read
// there), map() fails and callers read the file.
class FileView {
 public:
  FileView() = default;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView() { release(); }

  // Views the n bytes of file at offset, which the file holds as it is now.
  // Any earlier view goes. False, with no view, where the system cannot map
  // the file or it is not a regular file.
  bool map(const File& file, int64_t offset, int64_t n);
  void release();
  bool mapped() const { return data_ != nullptr; }
  const uint8_t* data() const { return data_; }  // the byte at offset()
  int64_t offset() const { return offset_; }
  int64_t size() const { return size_; }
  // Whether address lies in the mapped pages.
  bool contains(const void* address) const;

 private:
  void* base_ = nullptr;  // pages, from offset() rounded down to a page
  size_t length_ = 0;
  const uint8_t* data_ = nullptr;
  int64_t offset_ = 0;
  int64_t size_ = 0;
};

// Runs body(context), true when it ran to its end. Where body reads bytes of
// view that the file no longer holds (cut short by another program), body is
// left at that read and runGuarded returns false. Whatever body is doing
// when it reads the view must need no cleaning up: no objects with
// destructors, locks or allocations between runGuarded and the read.
bool runGuarded(const FileView& view, void (*body)(void* context), void* context);

// Identity of a file on its volume (device and inode; on Windows, volume
// serial and file index).
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

// False when the path does not name an existing file.
bool fileIdOf(const char* path, FileId* id);
// True when both paths name the same existing file, by identity.
bool sameFile(const char* a, const char* b);
// Replaces `to` with `from` atomically (rename over).
bool replaceFile(const char* from, const char* to);
bool removeFile(const char* path);
bool fileExists(const char* path);
// True when the last part of path is a file name: path is not empty and
// does not end in a directory separator (nor, on Windows, is a bare drive
// such as "D:"). An extension appended to a path without one would name a
// hidden file such as ".flv".
bool hasFileName(const char* path);
// True when nothing exists at path, or a regular file that is not a link:
// a file that may be replaced by renaming another over it.
bool replaceableByRename(const char* path);

// The running program's full path; empty on failure.
std::string programPath();
// The identifier of the calling thread, as the system numbers threads.
uint32_t currentThreadId();

}  // namespace platform
