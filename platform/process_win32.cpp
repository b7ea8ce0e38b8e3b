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

}  // namespace

std::unique_ptr<Process> startProcess(const std::string& program, const std::vector<std::string>& arguments) {
  const std::string commandLine = windowsCommandLine(program, arguments);
  if (commandLine.empty()) return nullptr;
  // The child starts hidden, with everything else of our own start-up
  // information.
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  startup.dwFlags |= STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);

  // CreateProcessA may write into the command line, so it gets a copy,
  // released as soon as the call returns.
  char* copy = new char[commandLine.size() + 1];
  std::memcpy(copy, commandLine.c_str(), commandLine.size() + 1);
  // Started suspended, the child runs no code before it is in the job that
  // ties it to us. A system that refuses the job (an older one inside a job
  // of its own) still runs the child, untied.
  const BOOL started = CreateProcessA(nullptr, copy, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                      nullptr, &startup, &info);
  delete[] copy;
  if (started == 0) return nullptr;
  HANDLE job = jobEndingWithUs();
  if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) CloseHandle(job);
  ResumeThread(info.hThread);
  return std::make_unique<Win32Process>(info.hProcess, info.hThread, info.dwProcessId);
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
