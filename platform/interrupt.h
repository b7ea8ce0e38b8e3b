// Interruptions: SIGINT, SIGTERM and SIGHUP on POSIX, each one that was not
// ignored when the program started (under nohup a hang-up stays ignored);
// Ctrl-C, Ctrl-Break and the closing of the console, a logoff or a shutdown
// on Windows. Unarmed, an interruption has its usual effect. Armed, it ends
// the child that startProcess() started and that still runs, waits for it
// to go, removes every leftover registered below, and ends the program with
// the armed exit code.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Arms the handlers, or changes the exit code of armed ones.
void exitOnInterrupt(int exitCode);

// Once armed, the end of the process that started us interrupts us (Linux;
// elsewhere the system's own ties between the two apply), so that a parent
// killed outright takes its child's leftovers with it.
void interruptWhenParentEnds();

enum class Leftover { kFile, kSharedMemoryName };

// A leftover that an interruption removes while this object holds it. The
// handler reads fixed slots without locks; a path that finds no free slot
// (more than a few at once, or over 4095 bytes) is not registered.
class RemovedOnInterrupt {
 public:
  RemovedOnInterrupt() = default;
  RemovedOnInterrupt(Leftover kind, const std::string& name) { hold(kind, name); }
  RemovedOnInterrupt(const RemovedOnInterrupt&) = delete;
  RemovedOnInterrupt& operator=(const RemovedOnInterrupt&) = delete;
  ~RemovedOnInterrupt() { release(); }

  // Registers name (a file path, or a shared-memory object's name as
  // createSharedMemory() takes it), in place of what this object held.
  void hold(Leftover kind, const std::string& name);
  // Forgets it: an interruption leaves it alone from now on.
  void release();

 private:
  int slot_ = -1;
};

// Removes a leftover now, as an interruption would (those of a run killed
// outright, which could not remove them itself).
void removeLeftoverNow(Leftover kind, const std::string& name);

// For the process layer: the running child an interruption ends, as a pid
// or a process handle; 0 for none.
void setInterruptChild(intptr_t child);

}  // namespace platform
