// Child processes, started from an argument vector and supervised.
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
// does not stop the child, but the child never outlives the program that
// started it (see startProcess).
class Process {
 public:
  virtual ~Process() = default;
  // The child's process identifier, as currentProcessId() tells it there.
  virtual uint32_t id() const = 0;
  // Waits up to timeoutMs for the child to end; wakes the moment it does.
  virtual WaitResult wait(uint32_t timeoutMs) = 0;
  // Ends the child with exitCode; does not wait for it to go.
  virtual bool terminate(uint32_t exitCode) = 0;
  // The child's exit code, kStillActive while it runs; false when it cannot
  // be read. A child ended by terminate() reports the code given there; one
  // that crashed reports a non-zero code.
  virtual bool exitCode(uint32_t* code) = 0;
};

// Starts program with arguments. The child inherits no handles, gets the
// caller's environment and current directory, starts with its window hidden,
// and ends with the caller: when the calling process ends, however it ends
// (killed included), the child is ended too. While the child runs, an
// interruption of the caller (see interrupt.h) ends it and waits for it.
// On POSIX the child gets the signal dispositions the caller was started
// with: what the caller's parent ignored stays ignored.
//
// On Windows the child's command line is windowsCommandLine(program,
// arguments). Null when the child cannot be started: no such program, or a
// program path holding a double quote, which that line cannot carry (refused
// on every system alike).
std::unique_ptr<Process> startProcess(const std::string& program, const std::vector<std::string>& arguments);

// As startProcess, the child's standard output going nowhere (the null
// device); its standard input and error are the caller's.
std::unique_ptr<Process> startProcessDiscardingOutput(const std::string& program,
                                                      const std::vector<std::string>& arguments);

// The calling process's identifier.
uint32_t currentProcessId();

// Points the process's standard error at the null device, for a program
// that must print nothing while libraries it calls may write there. False
// when the null device cannot be opened; standard error is then unchanged.
bool discardStandardError();

// The command line a Windows child is given: the program path in double
// quotes, then each argument after one space, quoted by the C runtime's
// rules when it holds a blank or a double quote (or is empty). Empty when
// the program path holds a double quote.
std::string windowsCommandLine(const std::string& program, const std::vector<std::string>& arguments);

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
