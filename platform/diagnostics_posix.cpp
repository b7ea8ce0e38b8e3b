#include <cerrno>

#include "platform/diagnostics.h"
#include "platform/diagnostics_common.h"

namespace platform {

void reportFailure(const char* step, const std::string& path) {
  const int error = errno;  // before anything here can change it
  if (!diagnostics::enabled()) return;
  diagnostics::writeLine(step, path, error != 0 ? std::strerror(error) : "failed");
  errno = error;
}

void reportFailure(const char* step, const std::string& path, const std::string& why) {
  const int error = errno;
  if (diagnostics::enabled()) diagnostics::writeLine(step, path, why);
  errno = error;
}

}  // namespace platform
