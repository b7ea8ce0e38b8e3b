#include <fcntl.h>
#include <signal.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace platform {

namespace {

int fd(intptr_t handle) { return static_cast<int>(handle); }

// Largest single read or write handed to the kernel (Linux caps one call
// just under 2 GiB anyway).
constexpr int64_t kMaxChunk = int64_t{1} << 30;

// The umask, read without changing it where the system tells it
// (/proc/self/status); elsewhere it is set and put straight back, which is
// safe in a program that creates no files from other threads meanwhile.
mode_t currentUmask() {
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

FileVersion versionFrom(const struct stat& st) {
  FileVersion v;
  v.id.device = static_cast<uint64_t>(st.st_dev);
  v.id.index = static_cast<uint64_t>(st.st_ino);
  v.size = st.st_size;
  v.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return v;
}

}  // namespace

bool File::open(const char* path, Mode mode) {
  close();
  int flags = O_CLOEXEC;
  switch (mode) {
    // Non-blocking, so that a FIFO without a writer is refused rather than
    // waited for; cleared below for the devices that honour it.
    case Mode::kRead: flags |= O_RDONLY | O_NONBLOCK; break;
    case Mode::kCreate: flags |= O_WRONLY | O_CREAT; break;  // truncated below
    case Mode::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case Mode::kReadWrite: flags |= O_RDWR; break;
    // Non-blocking, so that a pipe planted at the name cannot hold the open;
    // only a regular file passes the check below.
    case Mode::kReadNoLink: flags |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK; break;
    case Mode::kReadWriteNoLink: flags |= O_RDWR | O_NOFOLLOW | O_NONBLOCK; break;
  }
  const bool regularOnly = mode == Mode::kReadNoLink || mode == Mode::kReadWriteNoLink;
  int f;
  do {
    f = ::open(path, flags, mode == Mode::kCreateNew ? 0600 : 0666);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return false;
  struct stat st;
  // A reader needs a file it can seek in and open again: no pipe or socket.
  if (fstat(f, &st) != 0 || S_ISDIR(st.st_mode) || (regularOnly && !S_ISREG(st.st_mode)) ||
      (mode == Mode::kRead && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))) {
    ::close(f);
    return false;
  }
  if (mode == Mode::kRead && !S_ISREG(st.st_mode) && ::fcntl(f, F_SETFL, 0) != 0) {
    ::close(f);
    return false;
  }
  // A umask without the owner's bits (umask 277) must not make a file that
  // its creator cannot open again; and nobody else reads it while it is
  // being written.
  if (mode == Mode::kCreateNew && ::fchmod(f, 0600) != 0) {
    ::close(f);
    ::unlink(path);
    return false;
  }
  // Only a file with bytes in it is cut: ext4 takes a cut to nothing for a
  // rewrite in place and flushes the whole new file when it is closed, a
  // wait of seconds for a fresh gigabyte that nobody asked to be durable.
  if (mode == Mode::kCreate && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(f, 0) != 0) {
    ::close(f);
    return false;
  }
  handle_ = f;
  return true;
}

int64_t File::read(void* buffer, int64_t n) {
  if (!isOpen() || n < 0) return -1;
  for (;;) {
    ssize_t got = ::read(fd(handle_), buffer, static_cast<size_t>(n < kMaxChunk ? n : kMaxChunk));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

int64_t File::readAt(void* buffer, int64_t n, int64_t offset) {
  if (!isOpen() || n < 0 || offset < 0) return -1;
  int64_t total = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (total < n) {
    int64_t want = n - total < kMaxChunk ? n - total : kMaxChunk;
    ssize_t got = ::pread(fd(handle_), out + total, static_cast<size_t>(want), offset + total);
    if (got < 0) {
      if (errno == EINTR) continue;
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
    ssize_t put = ::write(fd(handle_), in, static_cast<size_t>(n < kMaxChunk ? n : kMaxChunk));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    in += put;
    n -= put;
  }
  return true;
}

bool File::writeSpans(const ByteSpan* spans, size_t count) {
  if (!isOpen()) return false;
  constexpr size_t kMaxSpans = IOV_MAX < 1024 ? IOV_MAX : 1024;
  iovec iov[kMaxSpans];
  size_t next = 0;  // first span not yet in iov
  size_t n = 0;     // spans in iov
  size_t done = 0;  // bytes of iov[0] already written
  while (next < count || n > 0) {
    while (n < kMaxSpans && next < count) {
      if (spans[next].size > 0) iov[n++] = iovec{const_cast<void*>(spans[next].data), spans[next].size};
      ++next;
    }
    if (n == 0) break;
    iov[0].iov_base = static_cast<char*>(iov[0].iov_base) + done;
    iov[0].iov_len -= done;
    done = 0;
    ssize_t put = ::writev(fd(handle_), iov, static_cast<int>(n));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    // Drop the spans written whole; keep the rest of a part-written one.
    size_t whole = 0;
    auto left = static_cast<size_t>(put);
    while (whole < n && left >= iov[whole].iov_len) left -= iov[whole++].iov_len;
    std::move(iov + whole, iov + n, iov);
    n -= whole;
    done = left;
  }
  return true;
}

bool File::writeAt(const void* buffer, int64_t n, int64_t offset) {
  if (!isOpen() || n < 0 || offset < 0) return false;
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (n > 0) {
    ssize_t put = ::pwrite(fd(handle_), in, static_cast<size_t>(n < kMaxChunk ? n : kMaxChunk), offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    in += put;
    offset += put;
    n -= put;
  }
  return true;
}

bool File::seek(int64_t offset) {
  return isOpen() && offset >= 0 && ::lseek(fd(handle_), offset, SEEK_SET) == offset;
}

int64_t File::size() const {
  struct stat st;
  if (!isOpen() || fstat(fd(handle_), &st) != 0) return -1;
  return st.st_size;
}

bool File::truncate(int64_t size) { return isOpen() && ::ftruncate(fd(handle_), size) == 0; }

bool File::sync() { return isOpen() && ::fsync(fd(handle_)) == 0; }

bool File::close() {
  if (!isOpen()) return true;
  int f = fd(std::exchange(handle_, kInvalid));
  // Linux closes the descriptor even when close reports EINTR; never retry.
  return ::close(f) == 0;
}

bool File::copyFrom(File& in, int64_t inOffset, int64_t outOffset, int64_t n) {
  if (!isOpen() || !in.isOpen() || n < 0 || inOffset < 0 || outOffset < 0) return false;
#ifdef SYS_copy_file_range
  bool kernelCopy = true;
  while (n > 0 && kernelCopy) {
    loff_t src = inOffset;
    loff_t dst = outOffset;
    ssize_t done = ::copy_file_range(fd(in.handle_), &src, fd(handle_), &dst,
                                     static_cast<size_t>(n < kMaxChunk ? n : kMaxChunk), 0);
    if (done > 0) {
      inOffset += done;
      outOffset += done;
      n -= done;
    } else if (done == 0) {
      return false;  // source shorter than asked
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
      kernelCopy = false;
    } else {
      return false;
    }
  }
  if (n == 0) return true;
#endif
  constexpr int64_t kBuffer = 1 << 20;
  static thread_local unsigned char buffer[kBuffer];
  while (n > 0) {
    int64_t want = n < kBuffer ? n : kBuffer;
    int64_t got = in.readAt(buffer, want, inOffset);
    if (got <= 0) return false;
    if (!writeAt(buffer, got, outOffset)) return false;
    inOffset += got;
    outOffset += got;
    n -= got;
  }
  return true;
}

bool File::insertAtStart(int64_t n) {
#if defined(FALLOC_FL_INSERT_RANGE)
  if (!isOpen() || n <= 0) return false;
  return ::fallocate(fd(handle_), FALLOC_FL_INSERT_RANGE, 0, n) == 0;
#else
  (void)n;
  return false;
#endif
}

bool File::removeAtStart(int64_t n) {
#if defined(FALLOC_FL_COLLAPSE_RANGE)
  if (!isOpen() || n <= 0) return false;
  return ::fallocate(fd(handle_), FALLOC_FL_COLLAPSE_RANGE, 0, n) == 0;
#else
  (void)n;
  return false;
#endif
}

int64_t File::blockSize() const {
  struct statvfs vfs;
  if (!isOpen() || fstatvfs(fd(handle_), &vfs) != 0) return 0;
  return static_cast<int64_t>(vfs.f_bsize);
}

bool File::version(FileVersion* version) const {
  struct stat st;
  if (!isOpen() || fstat(fd(handle_), &st) != 0) return false;
  *version = versionFrom(st);
  return true;
}

bool File::ownedAlone() const {
  struct stat st;
  return isOpen() && fstat(fd(handle_), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
         st.st_nlink == 1;
}

bool File::adoptAttributesOf(const char* replaced) {
  if (!isOpen()) return false;
  struct stat st;
  if (::lstat(replaced, &st) != 0 || !S_ISREG(st.st_mode)) {
    return ::fchmod(fd(handle_), 0666 & ~currentUmask()) == 0;
  }
  mode_t mode = st.st_mode & 07777;
  // The owner first (changing it clears the set-id bits), where permitted:
  // the user and group as root, the group for a member of it. A file that
  // does not get the old owner never gets the old set-id bits either.
  if (::fchown(fd(handle_), st.st_uid, st.st_gid) != 0) {
    if (::fchown(fd(handle_), static_cast<uid_t>(-1), st.st_gid) != 0 || st.st_uid != ::geteuid()) mode &= 0777;
  }
  return ::fchmod(fd(handle_), mode) == 0;
}

bool versionOf(const char* path, FileVersion* version) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  *version = versionFrom(st);
  return true;
}

bool fileIdOf(const char* path, FileId* id) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  id->device = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool sameFile(const char* a, const char* b) {
  FileId ia, ib;
  return fileIdOf(a, &ia) && fileIdOf(b, &ib) && ia == ib;
}

bool replaceFile(const char* from, const char* to) { return ::rename(from, to) == 0; }

bool removeFile(const char* path) { return ::unlink(path) == 0; }

bool fileExists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

bool hasFileName(const char* path) {
  size_t n = std::strlen(path);
  return n > 0 && path[n - 1] != '/';
}

bool replaceableByRename(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

std::string folderOf(const char* path) {
  std::string p = path;
  size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

bool outputTarget(const char* path, std::string* target) {
  // As many links as the kernel itself follows in one lookup.
  constexpr int kMaxLinks = 40;
  std::string current = path;
  std::vector<char> link(PATH_MAX + 1);
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      *target = current;  // nothing there yet: the output is made there
      return true;
    }
    if (S_ISREG(st.st_mode)) {
      *target = current;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) return false;
    ssize_t n = ::readlink(current.c_str(), link.data(), PATH_MAX);
    if (n <= 0 || n >= PATH_MAX) return false;
    std::string next(link.data(), static_cast<size_t>(n));
    // A relative link is read from the folder that holds it.
    current = next[0] == '/' ? next : folderOf(current.c_str()) + next;
  }
  return false;
}

// A lock file that is not empty was left by a run killed outright: a run
// that ends removes its lock file. Its length is that run's process id,
// returned when no process has that id now (else 0). The file then gets
// this run's id as its length, for the next.
static uint32_t takeOverLock(int f, const struct stat& held) {
  if (held.st_uid != ::geteuid() || (::fcntl(f, F_GETFL) & O_ACCMODE) != O_RDWR) return 0;
  const int error = errno;  // a note on the side, never a failure's reason
  uint32_t dead = 0;
  const off_t holder = held.st_size;
  if (holder > 0 && holder <= 0x7FFFFFFF && holder != ::getpid() && ::kill(pid_t(holder), 0) != 0 &&
      errno == ESRCH) {
    dead = static_cast<uint32_t>(holder);
  }
  [[maybe_unused]] const int resized = ::ftruncate(f, ::getpid());
  errno = error;
  return dead;
}

bool FileLock::lock(const char* path) {
  unlock();
  // The lock file of a run that has just finished may be removed between
  // our open and our lock: then the name holds another file, or none, and
  // we start again on what is there now.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int f;
    do {
      f = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
      // A file of another user in a sticky folder may refuse O_CREAT, and
      // writing; it is locked all the same.
      if (f < 0 && errno == EACCES) {
        f = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        // Nothing there: the folder refused to make the file; that is the
        // reason to tell (a read-only folder, say), not the missing name.
        if (f < 0 && errno == ENOENT) {
          errno = EACCES;
          return false;
        }
      }
    } while (f < 0 && errno == EINTR);
    if (f < 0) {
      if (errno == ENOENT) continue;  // removed between the two opens
      return false;
    }
    int locked;
    do {
      locked = ::flock(f, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat held, named;
    if (locked == 0 && ::fstat(f, &held) == 0 && ::lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      // Other users who write the same folder wait on it too, whatever our umask.
      if (held.st_uid == ::geteuid()) ::fchmod(f, 0644);
      handle_ = f;
      path_ = path;
      deadHolder_ = takeOverLock(f, held);
      return true;
    }
    ::close(f);
    if (locked != 0) return false;
  }
  return false;
}

void FileLock::unlock() {
  deadHolder_ = 0;
  if (handle_ < 0) return;
  // Removed while still held: a run that waits on this file finds it gone
  // once it gets the lock, and starts again on a new one.
  ::unlink(path_.c_str());
  ::close(fd(std::exchange(handle_, -1)));
  path_.clear();
}

std::string programPath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

uint32_t currentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace platform
