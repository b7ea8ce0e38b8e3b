#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// A child of ours. Its pid stays ours until we reap it, so signalling it by
// pid is safe; once reaped, its status is kept so that the exit code can be
// read any number of times.
class PosixProcess : public Process {
 public:
  PosixProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

  ~PosixProcess() override {
    // Releasing does not stop the child, but a child we have killed is gone
    // within moments: reap it so that it leaves no zombie behind. One still
    // running stays our child until it ends or we do.
    if (!reaped_ && killed_) waitForEnd(1000);
    reap();
    if (pidfd_ >= 0) ::close(pidfd_);
  }

  WaitResult wait(uint32_t timeoutMs) override {
    if (reaped_) return WaitResult::kEnded;
    if (failed_) return WaitResult::kFailed;
    WaitResult result = waitForEnd(timeoutMs);
    if (result == WaitResult::kEnded) reap();
    return result;
  }

  bool terminate(uint32_t exitCode) override {
    if (reaped_ || ::kill(pid_, SIGKILL) != 0) return false;
    killed_ = true;
    killCode_ = exitCode;
    return true;
  }

  bool exitCode(uint32_t* code) override {
    reap();
    if (failed_) return false;
    if (!reaped_) {
      *code = kStillActive;
    } else if (status_.si_code == CLD_EXITED) {
      *code = static_cast<uint32_t>(status_.si_status) & 0xFF;
    } else if (killed_ && status_.si_status == SIGKILL) {
      *code = killCode_;
    } else {
      // A crash: a signal ended it. Shells report 128 + signal; any non-zero
      // code tells the caller that the child failed.
      *code = 128 + static_cast<uint32_t>(status_.si_status);
    }
    return true;
  }

 private:
  // Blocks until the child ends or timeoutMs passes; does not reap.
  WaitResult waitForEnd(uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const int leftMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count(), INT_MAX)));
      if (pidfd_ >= 0) {
        pollfd entry{pidfd_, POLLIN, 0};
        const int r = ::poll(&entry, 1, leftMs);
        if (r > 0) return WaitResult::kEnded;
        if (r == 0) return WaitResult::kTimedOut;
        if (errno != EINTR) return WaitResult::kFailed;
      } else {
        // Kernels without pidfd: look every few milliseconds.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
          return WaitResult::kFailed;
        if (info.si_pid == pid_) return WaitResult::kEnded;
        if (leftMs == 0) return WaitResult::kTimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(leftMs, 5)));
      }
    }
  }

  // Collects the child's status if it has ended, without blocking.
  void reap() {
    if (reaped_ || failed_) return;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG) != 0) {
      if (errno != EINTR) failed_ = true;  // not our child any more
      return;
    }
    if (info.si_pid != pid_) return;
    status_ = info;
    reaped_ = true;
  }

  pid_t pid_;
  int pidfd_;
  bool reaped_ = false;
  bool failed_ = false;
  bool killed_ = false;
  uint32_t killCode_ = 0;
  siginfo_t status_{};
};

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

}  // namespace

std::unique_ptr<Process> startProcess(const std::string& commandLine) {
  std::vector<std::string> items = splitCommandLine(commandLine);
  if (items.empty() || items[0].empty()) return nullptr;
  std::vector<char*> argv;
  for (std::string& item : items) argv.push_back(item.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  // Only the three standard streams pass to the child, as a Windows child
  // that inherits no handles still shares the console.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // A parent that started us with SIGCHLD ignored would have the system
  // reap the child, and its exit code would be lost to us.
  ::signal(SIGCHLD, SIG_DFL);

  pid_t pid = 0;
  // The C library reports a program that cannot be executed here, and has
  // collected the failed child itself.
  if (::posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ) != 0)
    return nullptr;
  return std::make_unique<PosixProcess>(pid, openPidfd(pid));
}

bool programLocation(ProgramLocation* location) {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0 || n >= PATH_MAX) return false;
  location->fullPath.assign(buffer, static_cast<size_t>(n));
  if (location->fullPath[0] != '/') return false;
  location->fileNamePos = location->fullPath.rfind('/') + 1;
  return true;
}

}  // namespace platform
