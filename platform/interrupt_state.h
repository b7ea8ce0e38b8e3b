// What the interruption handlers of interrupt_posix.cpp and
// interrupt_win32.cpp read: lock-free state, safe in a signal handler.
#pragma once

#include <cstdint>

#include "platform/interrupt.h"

namespace platform::interrupt_state {

// The armed exit code.
void setExitCode(int code);
int exitCode();
intptr_t child();
// Calls remove for each registered leftover.
void removeLeftovers(void (*remove)(Leftover kind, const char* name));
// POSIX: whether the interruption handler is installed for signal, so that
// a child must have it reset to its default.
bool catches(int signal);

}  // namespace platform::interrupt_state
