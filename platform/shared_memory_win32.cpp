#include <windows.h>
#include <aclapi.h>

#include <vector>

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

  void removeName() override {}

 private:
  HANDLE handle_;
  void* view_;
};

// One piece of our token's information, as the system hands it out.
std::vector<unsigned char> tokenInformation(TOKEN_INFORMATION_CLASS what) {
  std::vector<unsigned char> buffer;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return buffer;
  DWORD size = 0;
  GetTokenInformation(token, what, nullptr, 0, &size);
  buffer.resize(size);
  if (size == 0 || !GetTokenInformation(token, what, buffer.data(), size, &size)) buffer.clear();
  CloseHandle(token);
  return buffer;
}

// A name anyone can predict must not let another user hand us a record of
// their making: a section we did not create is used only when its owner is
// our user, or the Administrators group when our token gives that group the
// objects we create (an elevated administrator's).
bool ownedByUs(HANDLE section) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(section, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  // The system gives every section an owner; Wine records none, and a
  // section without one is no other user's.
  bool ours = owner == nullptr;
  const std::vector<unsigned char> user = tokenInformation(TokenUser);
  if (!ours && !user.empty()) ours = EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  const std::vector<unsigned char> defaultOwner = tokenInformation(TokenOwner);
  if (!ours && !defaultOwner.empty() && IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
    ours = EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner);
  LocalFree(descriptor);
  return ours;
}

}  // namespace

std::unique_ptr<SharedMemory> createSharedMemory(const char* name, uint32_t size) {
  // An existing section of that name is opened instead, contents and all,
  // when it is ours.
  HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
  if (handle == nullptr) return nullptr;
  if (GetLastError() == ERROR_ALREADY_EXISTS && !ownedByUs(handle)) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  return std::make_unique<Win32SharedMemory>(handle, view);
}

std::unique_ptr<SharedMemory> openSharedMemory(const char* name, uint32_t size) {
  HANDLE handle = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (handle == nullptr) return nullptr;
  if (!ownedByUs(handle)) {
    CloseHandle(handle);
    return nullptr;
  }
  // Mapping more than the section holds fails, which refuses one too small.
  void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32SharedMemory>(handle, view);
}

}  // namespace platform
