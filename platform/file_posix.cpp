#include <fcntl.h>
#include <limits.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/file.h"

namespace platform {

namespace {

int fd(intptr_t handle) { return static_cast<int>(handle); }

// Largest single read or write handed to the kernel (Linux caps one call
// just under 2 GiB anyway).
constexpr int64_t kMaxChunk = int64_t{1} << 30;

}  // namespace

bool File::open(const char* path, Mode mode) {
  close();
  int flags = O_CLOEXEC;
  switch (mode) {
    // Non-blocking, so that a FIFO without a writer is refused rather than
    // waited for; cleared below for the devices that honour it.
    case Mode::kRead: flags |= O_RDONLY | O_NONBLOCK; break;
    case Mode::kCreate: flags |= O_WRONLY | O_CREAT; break;  // truncated below
    case Mode::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case Mode::kReadWrite: flags |= O_RDWR; break;
  }
  int f;
  do {
    f = ::open(path, flags, 0666);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return false;
  struct stat st;
  // A reader needs a file it can seek in and open again: no pipe or socket.
  if (fstat(f, &st) != 0 || S_ISDIR(st.st_mode) ||
      (mode == Mode::kRead && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))) {
    ::close(f);
    return false;
  }
  if (mode == Mode::kRead && !S_ISREG(st.st_mode) && ::fcntl(f, F_SETFL, 0) != 0) {
    ::close(f);
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
      return false;  // EFAULT among others: a viewed file cut short
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

bool FileView::map(const File& file, int64_t offset, int64_t n) {
  release();
  struct stat st;
  if (!file.isOpen() || offset < 0 || n <= 0 || fstat(fd(file.handle_), &st) != 0 || !S_ISREG(st.st_mode) ||
      offset + n > st.st_size) {
    return false;
  }
  static const int64_t kPage = ::sysconf(_SC_PAGESIZE);
  int64_t start = offset - offset % kPage;
  auto length = static_cast<size_t>(offset - start + n);
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd(file.handle_), start);
  if (base == MAP_FAILED) return false;
  // Read once, front to back: the system may read ahead and let go behind.
  ::madvise(base, length, MADV_SEQUENTIAL);
  base_ = base;
  length_ = length;
  data_ = static_cast<const uint8_t*>(base) + (offset - start);
  offset_ = offset;
  size_ = n;
  // A fault handler on this thread looks at the view's fields.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return true;
}

void FileView::release() {
  if (!base_) return;
  void* base = std::exchange(base_, nullptr);
  data_ = nullptr;
  size_ = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  ::munmap(base, length_);
}

bool FileView::contains(const void* address) const {
  auto a = reinterpret_cast<uintptr_t>(address);
  auto b = reinterpret_cast<uintptr_t>(base_);
  return base_ && a >= b && a - b < length_;
}

namespace {

// A guarded call on this thread: where a fault on its view jumps back to.
struct Guard {
  sigjmp_buf resume;
  const FileView* view;
  Guard* outer;  // a guarded call that this one runs inside
};
// Initial-exec: the library is loaded with the program, and the lookup is one
// instruction instead of a call on every guarded read.
thread_local Guard* tGuard __attribute__((tls_model("initial-exec"))) = nullptr;
struct sigaction gPreviousBusHandler;

// A fault on a viewed byte inside a guarded call ends that call; any other
// goes where it went before this handler was installed.
void onBusFault(int signal, siginfo_t* info, void* context) {
  for (Guard* g = tGuard; g; g = g->outer) {
    if (info && info->si_code > 0 && g->view->contains(info->si_addr)) siglongjmp(g->resume, 1);
  }
  const struct sigaction& previous = gPreviousBusHandler;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // The default: returning makes the fault happen again, now fatal.
    ::signal(SIGBUS, SIG_DFL);
  }
}

void installBusHandler() {
  struct sigaction action {};
  action.sa_sigaction = onBusFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &gPreviousBusHandler);
}

}  // namespace

bool runGuarded(const FileView& view, void (*body)(void* context), void* context) {
  static std::once_flag installed;
  std::call_once(installed, installBusHandler);
  Guard guard;
  guard.view = &view;
  guard.outer = tGuard;
  if (sigsetjmp(guard.resume, 0) != 0) {
    tGuard = guard.outer;
    // The handler was left by a jump, so the signal is still blocked.
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    return false;
  }
  tGuard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  body(context);
  tGuard = guard.outer;
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

std::string programPath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

uint32_t currentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace platform
