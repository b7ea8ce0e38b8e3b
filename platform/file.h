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

// Identity of a file on its volume (device and inode; on Windows, volume
// serial and file index).
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

// A file as it is now: which file, how long, when last modified. Two
// versions are equal only for the same file, unchanged (as far as its size
// and modification time tell).
struct FileVersion {
  FileId id;
  int64_t size = -1;
  int64_t modified = 0;  // system ticks: nanoseconds, or 100 ns on Windows
  bool operator==(const FileVersion&) const = default;
};

// An unbuffered file handle; buffering is the caller's business. Every
// operation reports failure instead of throwing. Two readers may hold the
// same file open at once.
class File {
 public:
  enum class Mode {
    kRead,         // existing file, read only, shared with other readers
    kCreate,       // new or truncated file, write only
    // New file, write only; fails if anything is at the path (a link too).
    // Readable and writable by the owner alone, whatever the umask.
    kCreateNew,
    kReadWrite,    // existing file, read and write
    // Existing regular file, never opened through a link at the path's end
    // (nor a device or a pipe): the file a name holds, not one it points to.
    kReadNoLink,
    kReadWriteNoLink,
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
  // gathered write per many spans where the system has them. False on error.
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

  // Which file this is, and its size and modification time now.
  bool version(FileVersion* version) const;
  // True for a regular file of the calling user that has no other name (no
  // hard link elsewhere): one that nobody else put at the name it was opened by.
  bool ownedAlone() const;
  // Gives this file the permissions of the regular file at `replaced`, and
  // its owner and group where the system permits; when nothing is there,
  // the permissions a new file gets (umask applied). False when the
  // permissions cannot be set (a file system without them): the file then
  // keeps the ones it has. Where files have no such permissions, does
  // nothing and returns true.
  bool adoptAttributesOf(const char* replaced);

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

// False when the path does not name an existing file.
bool fileIdOf(const char* path, FileId* id);
// The version of the file at path (links followed); false when none.
bool versionOf(const char* path, FileVersion* version);
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
// The name an output written at `path` is to be put at: `path` with the
// symbolic links at its end followed (a link to a link too) to the name
// they end at, which need not exist yet. False when the links loop or nest
// too deep, or when what is there is not a regular file (a folder, a device
// such as /dev/null or NUL, a pipe): no output replaces those.
bool outputTarget(const char* path, std::string* target);
// The folder a path's last component lives in, ending in a separator, for
// naming a file beside it; empty for the current folder. On Windows the
// folder of the full path (a drive-relative "D:name" lies in drive D's
// current folder).
std::string folderOf(const char* path);

// An advisory lock on a file, which the runs that write the same outputs
// take so that one run's files are never mixed with another's. The lock
// file is made when missing and removed when the lock is released.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { unlock(); }
  // Waits while another process holds the lock (flock on POSIX; on Windows
  // the file is held open for exclusive use, deleted on close, and asked for
  // again every 50 ms). False when the lock file can be neither made nor
  // opened.
  bool lock(const char* path);
  void unlock();
  // The process id of a run that held this lock file before and is gone
  // without removing it (killed outright, SIGKILL), so that its leftovers,
  // named after that id, can be removed; 0 when there was none, when that
  // process is alive, or when the lock file is not the user's. On POSIX a
  // holder keeps its process id as the lock file's length (a file of holes
  // alone, which takes no space on the disk); on Windows the lock file goes
  // with its holder however it ends, and this is always 0.
  uint32_t deadHolder() const { return deadHolder_; }

 private:
  intptr_t handle_ = -1;
  std::string path_;
  uint32_t deadHolder_ = 0;
};

// True when the program's standard error is a terminal (a console).
bool standardErrorIsTerminal();

// The running program's full path; empty on failure.
std::string programPath();
// The identifier of the calling thread, as the system numbers threads.
uint32_t currentThreadId();

}  // namespace platform
