#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>

#include "platform/interrupt_state.h"

namespace platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void removeLeftover(Leftover kind, const char* name) {
  if (kind == Leftover::kFile) {
    ::unlink(name);
  } else {
    // The object names of createSharedMemory() have no leading slash.
    char path[4097] = "/";
    size_t n = 0;
    while (name[n] != '\0' && n + 1 < sizeof path - 1) path[n + 1] = name[n], ++n;
    ::shm_unlink(path);
  }
}

// Only calls that are safe in a signal handler. The child goes first, so
// that it creates nothing after its files are removed.
void onInterrupt(int) {
  const pid_t child = static_cast<pid_t>(interrupt_state::child());
  if (child > 0 && ::kill(child, SIGKILL) == 0) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  interrupt_state::removeLeftovers(removeLeftover);
  ::_exit(interrupt_state::exitCode());
}

}  // namespace

void removeLeftoverNow(Leftover kind, const std::string& name) { removeLeftover(kind, name.c_str()); }

void exitOnInterrupt(int exitCode) {
  interrupt_state::setExitCode(exitCode);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);  // one handler at a time
  for (int signal : kSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

void interruptWhenParentEnds() {
#ifdef __linux__
  // The parent may have asked for a plain kill already (tagmend does,
  // before the converter starts): replaced by a signal we handle, the end
  // comes with the leftovers removed. A parent that ends while the request
  // changes shows in its pid changing under us.
  if (!interrupt_state::catches(SIGTERM)) return;
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::raise(SIGTERM);
#endif
}

namespace interrupt_state {

bool catches(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == onInterrupt;
}

}  // namespace interrupt_state
}  // namespace platform
