#include <windows.h>

#include "platform/shared_memory.h"

namespace platform {
namespace {

// A section backed by the paging file and one view of it. The view is never
// unmapped: it lasts until the process ends, while the section goes away
// with the last handle to it in any process.
class Win32SharedMemory : public SharedMemory {
 public:
  Win32SharedMemory(HANDLE handle, void* view) : handle_(handle), view_(view) {}
  ~Win32SharedMemory() override { close(); }

  void* view() const override { return view_; }

  void close() override {
    if (handle_ == nullptr) return;
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
  void* view_;
};

}  // namespace

std::unique_ptr<SharedMemory> createSharedMemory(const char* name, uint32_t size) {
  // An existing section of that name is opened instead; ERROR_ALREADY_EXISTS
  // is not an error here.
  HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
  if (handle == nullptr) return nullptr;
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  return std::make_unique<Win32SharedMemory>(handle, view);
}

std::unique_ptr<SharedMemory> openSharedMemory(const char* name, uint32_t size) {
  HANDLE handle = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (handle == nullptr) return nullptr;
  // Mapping more than the section holds fails, which refuses one too small.
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32SharedMemory>(handle, view);
}

}  // namespace platform
