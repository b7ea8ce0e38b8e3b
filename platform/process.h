// Child processes, started from one command line and supervised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

constexpr uint32_t kStillActive = 259;

enum class WaitResult { kEnded, kTimedOut, kFailed };

// A started child process. The owner releases it on every path; releasing
// does not stop the child.
class Process {
 public:
  virtual ~Process() = default;
  // Waits up to timeoutMs for the child to end; wakes the moment it does.
  virtual WaitResult wait(uint32_t timeoutMs) = 0;
  // Ends the child with exitCode; does not wait for it to go.
  virtual bool terminate(uint32_t exitCode) = 0;
  // The child's exit code, kStillActive while it runs; false when it cannot
  // be read. A child ended by terminate() reports the code given there; one
  // that crashed reports a non-zero code.
  virtual bool exitCode(uint32_t* code) = 0;
};

// Starts a child from a Windows-style command line: the program path in
// double quotes, then its arguments. The child inherits no handles, gets the
// caller's environment and current directory, and starts with its window
// hidden. Null when it cannot be started (for instance, no such program).
// On POSIX the line is split as splitCommandLine() does.
std::unique_ptr<Process> startProcess(const std::string& commandLine);

// Splits a command line by the rules a Windows C runtime applies: the first
// item runs to the next double quote when it opens with one (no escapes in a
// program path), else to the first blank; later items honour double quotes,
// a doubled quote inside quotes, and backslashes that escape a quote.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The running program's own file as a full path, and the position in it where
// the file name starts (fullPath.size() when the path ends in a separator).
// False when the system cannot tell, or the full path does not fit the
// system's path limit.
struct ProgramLocation {
  std::string fullPath;
  size_t fileNamePos = 0;
};
bool programLocation(ProgramLocation* location);

}  // namespace platform
