#include "platform/process.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The program path: a quoted path ends at the next quote whatever precedes
// it, since backslashes are directory separators there, not escapes.
size_t splitProgram(const std::string& line, std::string* program) {
  size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    size_t end = line.find('"', 1);
    if (end == std::string::npos) end = line.size();
    *program = line.substr(1, end - 1);
    return end < line.size() ? end + 1 : end;
  }
  while (i < line.size() && !isBlank(line[i])) ++i;
  *program = line.substr(0, i);
  return i;
}

// One argument as the C runtime reads it back: unchanged unless it holds a
// blank or a quote or is empty; else in quotes, with each quote escaped and
// the backslashes before a quote (or before the closing quote) doubled.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t slashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    quoted += c;
  }
  quoted.append(2 * slashes, '\\');
  return quoted + "\"";
}

}  // namespace

std::string windowsCommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  // The program path ends at the next quote, with no escapes: a quote in it
  // would end it early and make the rest another program's arguments.
  if (program.find('"') != std::string::npos) return {};
  std::string line = "\"" + program + "\"";
  for (const std::string& argument : arguments) {
    // Appended in two steps: g++ 12 takes `" " + temporary` for an
    // overlapping copy (GCC bug 105329).
    line += ' ';
    line += quoteArgument(argument);
  }
  return line;
}

std::vector<std::string> splitCommandLine(const std::string& line) {
  std::vector<std::string> items;
  std::string item;
  size_t i = splitProgram(line, &item);
  items.push_back(item);
  while (true) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) break;
    item.clear();
    bool quoted = false;
    while (i < line.size() && (quoted || !isBlank(line[i]))) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        // 2n backslashes and a quote: n backslashes and a quote that opens
        // or closes; 2n+1: n backslashes and a literal quote.
        item.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          item += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          item += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        item.append(slashes, '\\');
        if (i < line.size() && (quoted || !isBlank(line[i]))) item += line[i++];
      }
    }
    items.push_back(item);
  }
  return items;
}

}  // namespace platform
