#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/close_range.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/interrupt_state.h"
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

// Holds back the signals our interruption handler catches, so that it runs
// neither in a child before its exec nor between a child's start or end and
// its registration; the previous mask comes back with the object's end.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigemptyset(&caught);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      if (interrupt_state::catches(signal)) sigaddset(&caught, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &caught, &previous);
  }
  ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  sigset_t caught;
  sigset_t previous;
};

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

  uint32_t id() const override { return static_cast<uint32_t>(pid_); }

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

  // Collects the child's status if it has ended, without blocking. Once
  // reaped, its pid may name another process: the interruption handler
  // forgets it in the same breath.
  void reap() {
    if (reaped_ || failed_) return;
    InterruptsHeld held;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG) != 0) {
      if (errno != EINTR) failed_ = true;  // not our child any more
      return;
    }
    if (info.si_pid != pid_) return;
    status_ = info;
    reaped_ = true;
    setInterruptChild(0);
  }

  pid_t pid_;
  int pidfd_;
  bool reaped_ = false;
  bool failed_ = false;
  bool killed_ = false;
  uint32_t killCode_ = 0;
  siginfo_t status_{};
};

// The most descriptors a child may have been handed; those we do not mean
// to pass on are closed at its exec.
int descriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
}

// In the child, between vfork and exec: only system calls, no memory of the
// parent written but this frame (the child borrows it). Never returns.
[[noreturn]] void execChild(char* const* argv, pid_t parent, const InterruptsHeld& held, int report,
                            int maxDescriptors, int output) {
  // Our own handler is not the child's; whatever our parent ignored, the
  // child ignores too.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&held.caught, signal) == 1) ::signal(signal, SIG_DFL);
  }
#ifdef __linux__
  // The child ends with us, even when we are killed outright; a parent gone
  // already shows as another parent pid.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
#else
  (void)parent;
#endif
  // Only the three standard streams pass to the child, as a Windows child
  // that inherits no handles still shares the console.
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0) maxDescriptors = 3;
#endif
  for (int fd = 3; fd < maxDescriptors; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (output >= 0 && ::dup2(output, STDOUT_FILENO) < 0) {
    const int error = errno;
    while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
  }
  ::pthread_sigmask(SIG_SETMASK, &held.previous, nullptr);
  ::execve(argv[0], argv, environ);
  const int error = errno;
  while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// Starts the child with vfork: it borrows our memory until its exec, so
// nothing of a large parent is copied or marked copy-on-write, and the
// parent's later writes fault no page in again. The child runs only
// execChild, which writes to no memory of ours but its own stack frame.
pid_t spawnChild(char* const* argv, pid_t parent, const InterruptsHeld& held, int report, int maxDescriptors,
                 int output) {
  const pid_t pid = ::vfork();
  if (pid == 0) execChild(argv, parent, held, report, maxDescriptors, output);
  return pid;
}

std::unique_ptr<Process> start(const std::string& program, const std::vector<std::string>& arguments,
                               bool discardOutput) {
  // Refused as on Windows, whose command line cannot carry it.
  if (program.empty() || program.find('"') != std::string::npos) return nullptr;
  std::vector<std::string> items{program};
  items.insert(items.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& item : items) argv.push_back(item.data());
  argv.push_back(nullptr);
  const int maxDescriptors = descriptorLimit();

  // A parent that started us with SIGCHLD ignored would have the system
  // reap the child, and its exit code would be lost to us.
  ::signal(SIGCHLD, SIG_DFL);

  // The child tells why its exec failed through this pipe; a successful
  // exec closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return nullptr;
  // The null device, put in place of the child's standard output after the
  // vfork (dup2 is safe there; open is not needed there).
  int output = -1;
  if (discardOutput) {
    output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (output < 0) {
      const int error = errno;
      ::close(report[0]);
      ::close(report[1]);
      errno = error;
      return nullptr;
    }
  }
  pid_t pid = 0;
  {
    InterruptsHeld held;
    const pid_t parent = ::getpid();
    pid = spawnChild(argv.data(), parent, held, report[1], maxDescriptors, output);
    if (pid > 0) setInterruptChild(pid);
  }
  const int forkError = errno;
  ::close(report[1]);
  if (output >= 0) ::close(output);
  if (pid < 0) {
    ::close(report[0]);
    errno = forkError;
    return nullptr;
  }
  int execError = 0;
  ssize_t n = 0;
  while ((n = ::read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n > 0) {
    {
      InterruptsHeld held;
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      setInterruptChild(0);
    }
    errno = execError;
    return nullptr;
  }
  return std::make_unique<PosixProcess>(pid, openPidfd(pid));
}

}  // namespace

std::unique_ptr<Process> startProcess(const std::string& program, const std::vector<std::string>& arguments) {
  return start(program, arguments, false);
}

std::unique_ptr<Process> startProcessDiscardingOutput(const std::string& program,
                                                      const std::vector<std::string>& arguments) {
  return start(program, arguments, true);
}

uint32_t currentProcessId() { return static_cast<uint32_t>(::getpid()); }

bool discardStandardError() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return false;
  const bool moved = ::dup2(null, STDERR_FILENO) >= 0;
  ::close(null);
  return moved;
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
