#include <windows.h>

#include "platform/interrupt_state.h"

namespace platform {
namespace {

// A section goes away with its last handle, which the process's end
// closes: only files are removed here.
void removeLeftover(Leftover kind, const char* name) {
  if (kind == Leftover::kFile) DeleteFileA(name);
}

// The system runs this on a thread of its own. The child goes first, so
// that it creates nothing after its files are removed.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  HANDLE child = reinterpret_cast<HANDLE>(interrupt_state::child());
  if (child != nullptr && TerminateProcess(child, 3)) WaitForSingleObject(child, 5000);
  interrupt_state::removeLeftovers(removeLeftover);
  ExitProcess(static_cast<UINT>(interrupt_state::exitCode()));
  return TRUE;
}

}  // namespace

void removeLeftoverNow(Leftover kind, const std::string& name) { removeLeftover(kind, name.c_str()); }

void exitOnInterrupt(int exitCode) {
  interrupt_state::setExitCode(exitCode);
  // A Ctrl-C that our parent disabled for us is not delivered to handlers.
  static const BOOL installed = SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  (void)installed;
}

// The child is tied to its parent by the job object it is started in.
void interruptWhenParentEnds() {}

namespace interrupt_state {

bool catches(int) { return false; }

}  // namespace interrupt_state
}  // namespace platform
