#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/interrupt.h"
#include "platform/process.h"

namespace platform {
namespace {

class Win32Process : public Process {
 public:
  Win32Process(HANDLE process, HANDLE thread, DWORD id) : process_(process), thread_(thread), id_(id) {
    setInterruptChild(reinterpret_cast<intptr_t>(process_));
  }
  ~Win32Process() override {
    setInterruptChild(0);
    // The thread handle first, then the process handle.
    CloseHandle(thread_);
    CloseHandle(process_);
  }

  uint32_t id() const override { return id_; }

  WaitResult wait(uint32_t timeoutMs) override {
    switch (WaitForSingleObject(process_, timeoutMs)) {
      case WAIT_OBJECT_0:
        return WaitResult::kEnded;
      case WAIT_TIMEOUT:
        return WaitResult::kTimedOut;
      default:
        return WaitResult::kFailed;
    }
  }

  bool terminate(uint32_t exitCode) override { return TerminateProcess(process_, exitCode) != 0; }

  bool exitCode(uint32_t* code) override {
    DWORD value = 0xFFFFFFFF;
    if (GetExitCodeProcess(process_, &value) == 0) return false;
    *code = value;
    return true;
  }

 private:
  HANDLE process_;
  HANDLE thread_;
  DWORD id_;
};

// A job object that ends its processes when its last handle closes. Its
// handle is never closed here: the system closes it when we end, however we
// end, and the child goes with it. Null when the system refuses one.
HANDLE jobEndingWithUs() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  std::memset(&limits, 0, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Handles a child inherits, and only those: the list is handed to the
// system with the start (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), so no other
// inheritable handle of ours passes on. Everything is released with the object.
class InheritedHandles {
 public:
  InheritedHandles() = default;
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  ~InheritedHandles() {
    if (list_ != nullptr) {
      DeleteProcThreadAttributeList(list_);
      HeapFree(GetProcessHeap(), 0, list_);
    }
    for (int i = 0; i < count_; ++i) CloseHandle(handles_[i]);
  }
  // An inheritable copy of one of our standard handles, or null when there
  // is none (a program started without a console).
  HANDLE copyOf(DWORD standard) {
    HANDLE original = GetStdHandle(standard);
    HANDLE copy = nullptr;
    if (original == nullptr || original == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
      return nullptr;
    return add(copy);
  }
  // The null device, open for writing and inheritable.
  HANDLE nullDevice() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                             0, nullptr);
    return nul == INVALID_HANDLE_VALUE ? nullptr : add(nul);
  }
  // The attribute list that names the handles; null on failure.
  LPPROC_THREAD_ATTRIBUTE_LIST attributes() {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list_ = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (list_ == nullptr) return nullptr;
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      HeapFree(GetProcessHeap(), 0, list_);
      list_ = nullptr;
      return nullptr;
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                   static_cast<SIZE_T>(count_) * sizeof(HANDLE), nullptr, nullptr))
      return nullptr;
    return list_;
  }

 private:
  HANDLE add(HANDLE handle) {
    handles_[count_++] = handle;
    return handle;
  }
  HANDLE handles_[3] = {};
  int count_ = 0;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

std::unique_ptr<Process> start(const std::string& program, const std::vector<std::string>& arguments,
                               bool discardOutput) {
  const std::string commandLine = windowsCommandLine(program, arguments);
  if (commandLine.empty()) return nullptr;
  // The child starts hidden, with everything else of our own start-up
  // information.
  STARTUPINFOEXA startup;
  std::memset(&startup, 0, sizeof startup);
  GetStartupInfoA(&startup.StartupInfo);
  startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  DWORD flags = CREATE_SUSPENDED;
  BOOL inherit = FALSE;
  // Its standard output discarded: the three standard handles given
  // explicitly, the only handles it inherits.
  InheritedHandles handles;
  if (discardOutput) {
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = handles.nullDevice();
    if (startup.StartupInfo.hStdOutput == nullptr) return nullptr;
    startup.StartupInfo.hStdInput = handles.copyOf(STD_INPUT_HANDLE);
    startup.StartupInfo.hStdError = handles.copyOf(STD_ERROR_HANDLE);
    startup.lpAttributeList = handles.attributes();
    if (startup.lpAttributeList == nullptr) return nullptr;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
    inherit = TRUE;
  }
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);

  // CreateProcessA may write into the command line, so it gets a copy,
  // released as soon as the call returns.
  char* copy = new char[commandLine.size() + 1];
  std::memcpy(copy, commandLine.c_str(), commandLine.size() + 1);
  // Started suspended, the child runs no code before it is in the job that
  // ties it to us. A system that refuses the job (an older one inside a job
  // of its own) still runs the child, untied.
  const BOOL started = CreateProcessA(nullptr, copy, nullptr, nullptr, inherit, flags, nullptr, nullptr,
                                      &startup.StartupInfo, &info);
  delete[] copy;
  if (started == 0) return nullptr;
  HANDLE job = jobEndingWithUs();
  if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) CloseHandle(job);
  ResumeThread(info.hThread);
  return std::make_unique<Win32Process>(info.hProcess, info.hThread, info.dwProcessId);
}

}  // namespace

std::unique_ptr<Process> startProcess(const std::string& program, const std::vector<std::string>& arguments) {
  return start(program, arguments, false);
}

std::unique_ptr<Process> startProcessDiscardingOutput(const std::string& program,
                                                      const std::vector<std::string>& arguments) {
  return start(program, arguments, true);
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

bool discardStandardError() {
  // The C runtime's stream, which the libraries write through, and the
  // handle behind it.
  if (!std::freopen("NUL", "w", stderr)) return false;
  HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (null != INVALID_HANDLE_VALUE) SetStdHandle(STD_ERROR_HANDLE, null);
  return true;
}

bool programLocation(ProgramLocation* location) {
  // A 261st byte that GetModuleFileNameA never reaches ends even a cut name.
  char module[MAX_PATH + 1];
  std::memset(module, 0, sizeof module);
  const DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  char full[MAX_PATH];
  char* filePart = nullptr;
  const DWORD length = GetFullPathNameA(module, MAX_PATH, full, &filePart);
  if (length == 0 || length >= MAX_PATH) return false;
  location->fullPath.assign(full, length);
  location->fileNamePos = filePart != nullptr ? static_cast<size_t>(filePart - full) : length;
  return true;
}

}  // namespace platform
