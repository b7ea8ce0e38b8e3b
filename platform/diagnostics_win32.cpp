#include <windows.h>

#include "platform/diagnostics.h"
#include "platform/diagnostics_common.h"

namespace platform {
namespace {

// The system's text for error, without its closing period and line end.
std::string systemMessage(DWORD error) {
  char text[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
  if (n == 0) return "error " + std::to_string(error);
  return std::string(text, n);
}

}  // namespace

void reportFailure(const char* step, const std::string& path) {
  const DWORD error = GetLastError();  // before anything here can change it
  if (!diagnostics::enabled()) return;
  diagnostics::writeLine(step, path, error != 0 ? systemMessage(error) : "failed");
  SetLastError(error);
}

void reportFailure(const char* step, const std::string& path, const std::string& why) {
  const DWORD error = GetLastError();
  if (diagnostics::enabled()) diagnostics::writeLine(step, path, why);
  SetLastError(error);
}

}  // namespace platform
