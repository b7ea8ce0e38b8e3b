// Failure reports, off by default: the program's output stays what it is.
// With TAGMEND_VERBOSE set to a value other than "" and "0", each report is
// one line on standard error:
//   tagmend: <step>: <path>: <why>
#pragma once

#include <string>

namespace platform {

// Reports a failure of step on path, the system's own error text (errno, or
// GetLastError() on Windows, as it stands at the call) saying why.
void reportFailure(const char* step, const std::string& path);
// Reports a failure of step on path for a reason of the caller's.
void reportFailure(const char* step, const std::string& path, const std::string& why);

}  // namespace platform
