#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/interrupt.h"
#include "platform/shared_memory.h"

namespace platform {
namespace {

// POSIX objects outlive their users until unlinked, unlike a Windows section,
// which goes with its last handle. The creator therefore unlinks the name as
// soon as the peer has opened the object (removeName()), at the latest when
// it lets go of its handle, and on an interruption: only a crash before the
// peer opened it leaves a name behind.
class PosixSharedMemory : public SharedMemory {
 public:
  PosixSharedMemory(int fd, void* view, const char* name, bool creator)
      : fd_(fd), view_(view), path_(std::string("/") + name), named_(creator) {
    if (named_) leftover_.hold(Leftover::kSharedMemoryName, name);
  }
  ~PosixSharedMemory() override { close(); }

  void* view() const override { return view_; }

  void close() override {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    removeName();
  }

  void removeName() override {
    if (!named_) return;
    ::shm_unlink(path_.c_str());
    named_ = false;
    leftover_.release();
  }

 private:
  int fd_;
  void* view_;  // never unmapped: it lasts until the process ends
  std::string path_;
  bool named_;  // ours to unlink
  RemovedOnInterrupt leftover_;
};

std::string objectName(const char* name) { return std::string("/") + name; }

// Maps `size` bytes of fd, or null when the object is smaller than that (a
// mapping past its end would fault on first touch) or cannot be mapped.
void* mapWhole(int fd, uint32_t size) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(size) || size == 0) return nullptr;
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

// A name anyone can predict must not let another local user hand us a record
// of their making: an object we did not create is used only when it is ours.
bool ownedByUs(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

std::unique_ptr<SharedMemory> createSharedMemory(const char* name, uint32_t size) {
  const std::string path = objectName(name);
  int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    // A new object: ftruncate sizes it and the system zero-fills it.
    if (::ftruncate(fd, size) != 0) {
      ::close(fd);
      ::shm_unlink(path.c_str());
      return nullptr;
    }
  } else {
    if (errno != EEXIST) return nullptr;
    fd = ::shm_open(path.c_str(), O_RDWR, 0600);
    if (fd < 0) return nullptr;
    if (!ownedByUs(fd)) {
      ::close(fd);
      return nullptr;
    }
    // Kept as found, contents included, like an existing Windows section.
  }
  void* view = mapWhole(fd, size);
  return std::make_unique<PosixSharedMemory>(fd, view, name, true);
}

std::unique_ptr<SharedMemory> openSharedMemory(const char* name, uint32_t size) {
  const std::string path = objectName(name);
  int fd = ::shm_open(path.c_str(), O_RDWR, 0);
  if (fd < 0) return nullptr;
  void* view = ownedByUs(fd) ? mapWhole(fd, size) : nullptr;
  if (view == nullptr) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixSharedMemory>(fd, view, name, false);
}

}  // namespace platform
