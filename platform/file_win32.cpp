#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/file.h"

namespace platform {

namespace {

HANDLE h(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// ReadFile and WriteFile take a 32-bit count; one call moves at most this.
constexpr int64_t kMaxChunk = int64_t{1} << 30;

// Every reader and writer lets the others read, write and delete (rename
// over): the tools open one input several times at once, and the metadata
// update renames its output over a file that a reader may still hold.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD chunk(int64_t n) { return static_cast<DWORD>(n < kMaxChunk ? n : kMaxChunk); }

OVERLAPPED at(int64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return o;
}

bool position(HANDLE file, int64_t* where) {
  LARGE_INTEGER zero{};
  LARGE_INTEGER now{};
  if (!SetFilePointerEx(file, zero, &now, FILE_CURRENT)) return false;
  *where = now.QuadPart;
  return true;
}

bool moveTo(HANDLE file, int64_t offset) {
  LARGE_INTEGER to{};
  to.QuadPart = offset;
  return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0;
}

// A read or write at an explicit offset on a synchronous handle moves the
// file pointer on Windows; this puts it back, so that readAt and writeAt
// leave the position alone as pread and pwrite do.
class KeepPosition {
 public:
  explicit KeepPosition(HANDLE file) : file_(file), ok_(position(file, &where_)) {}
  ~KeepPosition() {
    if (ok_) moveTo(file_, where_);
  }
  KeepPosition(const KeepPosition&) = delete;
  KeepPosition& operator=(const KeepPosition&) = delete;
  bool ok() const { return ok_; }

 private:
  HANDLE file_;
  int64_t where_ = 0;
  bool ok_;
};

// Closes a handle that only one function needs.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A file on a disk, neither a folder nor a link. Devices (NUL, CON, COM1)
// are told by the handle's type: their attributes do not say so.
bool isRegularFile(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// A handle on whatever is at path, the link itself for a link: for asking
// what it is, with no access to its contents.
HANDLE openForQuery(const char* path, bool followLink) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool notFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

FileVersion versionFrom(const BY_HANDLE_FILE_INFORMATION& info) {
  FileVersion v;
  v.id.device = info.dwVolumeSerialNumber;
  v.id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  v.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  v.modified = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                    info.ftLastWriteTime.dwLowDateTime);
  return v;
}

// The path a handle's file has, without the "\\?\" that the system puts in
// front ("\\?\UNC\server" becomes "\\server").
bool finalPathOf(HANDLE file, std::string* path) {
  std::string buffer(MAX_PATH + 1, '\0');
  DWORD n = GetFinalPathNameByHandleA(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = GetFinalPathNameByHandleA(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
  }
  if (n == 0 || n >= buffer.size()) return false;
  buffer.resize(n);
  if (buffer.rfind("\\\\?\\UNC\\", 0) == 0) {
    buffer = "\\\\" + buffer.substr(8);
  } else if (buffer.rfind("\\\\?\\", 0) == 0) {
    buffer = buffer.substr(4);
  }
  *path = buffer;
  return true;
}

}  // namespace

bool File::open(const char* path, Mode mode) {
  close();
  DWORD access = 0;
  DWORD disposition = 0;
  switch (mode) {
    case Mode::kRead: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case Mode::kCreate: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    case Mode::kCreateNew: access = GENERIC_WRITE; disposition = CREATE_NEW; break;
    case Mode::kReadWrite: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case Mode::kReadNoLink: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case Mode::kReadWriteNoLink: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_EXISTING; break;
  }
  const bool regularOnly = mode == Mode::kReadNoLink || mode == Mode::kReadWriteNoLink;
  // A link is opened as itself, and refused below.
  DWORD flags = FILE_ATTRIBUTE_NORMAL | (regularOnly ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  // No security attributes: the handle is not inherited by child processes.
  // A directory fails here, since FILE_FLAG_BACKUP_SEMANTICS is not given.
  HANDLE file = CreateFileA(path, access, kShareAll, nullptr, disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // A reader needs a file it can seek in and open again: no pipe, console
  // or other character device.
  if (mode == Mode::kRead && GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  if (regularOnly && !isRegularFile(file)) {
    close();
    return false;
  }
  return true;
}

int64_t File::read(void* buffer, int64_t n) {
  if (!isOpen() || n < 0) return -1;
  DWORD got = 0;
  if (!ReadFile(h(handle_), buffer, chunk(n), &got, nullptr)) return -1;
  return got;
}

int64_t File::readAt(void* buffer, int64_t n, int64_t offset) {
  if (!isOpen() || n < 0 || offset < 0) return -1;
  KeepPosition keep(h(handle_));
  if (!keep.ok()) return -1;
  int64_t total = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (total < n) {
    OVERLAPPED o = at(offset + total);
    DWORD got = 0;
    if (!ReadFile(h(handle_), out + total, chunk(n - total), &got, &o)) {
      // A read that starts at or past the end reports this instead of 0 bytes.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    total += got;
  }
  return total;
}

bool File::write(const void* buffer, int64_t n) {
  if (!isOpen() || n < 0) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(h(handle_), in, chunk(n), &put, nullptr) || put == 0) return false;
    in += put;
    n -= put;
  }
  return true;
}

bool File::writeAt(const void* buffer, int64_t n, int64_t offset) {
  if (!isOpen() || n < 0 || offset < 0) return false;
  KeepPosition keep(h(handle_));
  if (!keep.ok()) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (n > 0) {
    OVERLAPPED o = at(offset);
    DWORD put = 0;
    if (!WriteFile(h(handle_), in, chunk(n), &put, &o) || put == 0) return false;
    in += put;
    offset += put;
    n -= put;
  }
  return true;
}

bool File::seek(int64_t offset) { return isOpen() && offset >= 0 && moveTo(h(handle_), offset); }

int64_t File::size() const {
  LARGE_INTEGER size{};
  if (!isOpen() || !GetFileSizeEx(h(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::truncate(int64_t size) {
  if (!isOpen() || size < 0) return false;
  KeepPosition keep(h(handle_));
  return keep.ok() && moveTo(h(handle_), size) && SetEndOfFile(h(handle_)) != 0;
}

bool File::sync() { return isOpen() && FlushFileBuffers(h(handle_)) != 0; }

bool File::close() {
  if (!isOpen()) return true;
  return CloseHandle(h(std::exchange(handle_, kInvalid))) != 0;
}

bool File::copyFrom(File& in, int64_t inOffset, int64_t outOffset, int64_t n) {
  if (!isOpen() || !in.isOpen() || n < 0 || inOffset < 0 || outOffset < 0) return false;
  // Windows has no in-kernel copy between offsets of two open files; a
  // bounded buffer of our own does it.
  constexpr int64_t kBuffer = 1 << 20;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBuffer]);
  if (!buffer) return false;
  while (n > 0) {
    int64_t want = n < kBuffer ? n : kBuffer;
    int64_t got = in.readAt(buffer.get(), want, inOffset);
    if (got <= 0) return false;
    if (!writeAt(buffer.get(), got, outOffset)) return false;
    inOffset += got;
    outOffset += got;
    n -= got;
  }
  return true;
}

// NTFS cannot insert blocks at the front of a file; callers rewrite instead.
bool File::insertAtStart(int64_t) { return false; }
bool File::removeAtStart(int64_t) { return false; }

// Only moving blocks at the start needs the block size, and that is never
// supported here: the metadata update then writes a copy and renames it.
int64_t File::blockSize() const { return 0; }

bool File::version(FileVersion* version) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!isOpen() || !GetFileInformationByHandle(h(handle_), &info)) return false;
  *version = versionFrom(info);
  return true;
}

bool File::ownedAlone() const {
  BY_HANDLE_FILE_INFORMATION info;
  return isOpen() && isRegularFile(h(handle_)) && GetFileInformationByHandle(h(handle_), &info) &&
         info.nNumberOfLinks == 1;
}

// A file moved into place keeps the access rights it was created with, which
// it inherited from the same folder as the file it replaces.
bool File::adoptAttributesOf(const char*) { return isOpen(); }

bool versionOf(const char* path, FileVersion* version) {
  ScopedHandle file(openForQuery(path, true));
  BY_HANDLE_FILE_INFORMATION info;
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.get(), &info)) return false;
  *version = versionFrom(info);
  return true;
}

bool File::writeSpans(const ByteSpan* spans, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!write(spans[i].data, static_cast<int64_t>(spans[i].size))) return false;
  }
  return true;
}

bool fileIdOf(const char* path, FileId* id) {
  // No access rights are needed to read a file's identity; the backup
  // semantics flag lets directories be asked too, as stat() allows.
  ScopedHandle file(CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return false;
  id->device = info.dwVolumeSerialNumber;
  id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool sameFile(const char* a, const char* b) {
  FileId ia, ib;
  return fileIdOf(a, &ia) && fileIdOf(b, &ib) && ia == ib;
}

bool replaceFile(const char* from, const char* to) {
  // Write-through: the call returns once the rename is on disk, so a crash
  // after it leaves the new file, never neither.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const char* path) { return DeleteFileA(path) != 0; }

bool fileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool hasFileName(const char* path) {
  size_t n = std::strlen(path);
  if (n == 0 || path[n - 1] == '\\' || path[n - 1] == '/') return false;
  return !(n == 2 && path[1] == ':');
}

bool replaceableByRename(const char* path) {
  ScopedHandle file(openForQuery(path, false));
  if (file.get() == INVALID_HANDLE_VALUE) return notFound(GetLastError());
  return isRegularFile(file.get());
}

std::string folderOf(const char* path) {
  // The full path, so that "D:name" names its folder on drive D (that
  // drive's current folder), not the current folder of the current drive.
  std::string full(MAX_PATH + 1, '\0');
  char* name = nullptr;
  DWORD n = GetFullPathNameA(path, static_cast<DWORD>(full.size()), full.data(), &name);
  if (n >= full.size()) {
    full.resize(n + 1);
    n = GetFullPathNameA(path, static_cast<DWORD>(full.size()), full.data(), &name);
  }
  if (n == 0 || n >= full.size()) {
    std::string p = path;
    size_t cut = p.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : p.substr(0, cut + 1);
  }
  full.resize(n);
  size_t cut = full.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

bool outputTarget(const char* path, std::string* target) {
  ScopedHandle file(openForQuery(path, false));
  if (file.get() == INVALID_HANDLE_VALUE) {
    if (!notFound(GetLastError())) return false;
    *target = path;
    return true;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;  // NUL, CON, a pipe
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *target = path;
    return true;
  }
  // A link: the file it ends at, which must exist and be a regular file.
  ScopedHandle end(openForQuery(path, true));
  std::string resolved;
  if (end.get() == INVALID_HANDLE_VALUE || !isRegularFile(end.get()) || !finalPathOf(end.get(), &resolved))
    return false;
  *target = resolved;
  return true;
}

bool FileLock::lock(const char* path) {
  unlock();
  // Nobody else may open the lock file while it is held, and it goes when
  // its holder closes it (or ends): a run that finds it open waits. Access
  // is refused, for a moment, to a file whose removal is under way.
  int refused = 0;
  for (;;) {
    HANDLE file = CreateFileA(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(file);
      path_ = path;
      return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      if (++refused > 100) return false;
    } else if (error != ERROR_SHARING_VIOLATION) {
      return false;
    }
    Sleep(50);
  }
}

void FileLock::unlock() {
  if (handle_ == -1) return;
  CloseHandle(h(std::exchange(handle_, -1)));
  path_.clear();
}

std::string programPath() {
  // GetModuleFileNameA cuts a long name to the buffer and says so only by
  // filling it; grow until the name fits, up to the longest path there is.
  for (DWORD size = MAX_PATH + 1; size <= 32768; size *= 2) {
    std::string buffer(size, '\0');
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (n == 0) return {};
    if (n < size) {
      buffer.resize(n);
      return buffer;
    }
  }
  return {};
}

uint32_t currentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
