#include "batch/tree.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "batch/content_hash.h"

namespace batch {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool endsInFlv(const std::string& name) {
  return name.size() > 4 && lower(name.substr(name.size() - 4)) == ".flv";
}

}  // namespace

bool findInputs(const std::string& inDir, const std::string& skip, std::vector<Input>* inputs, std::string* why) {
  std::error_code error;
  const fs::path root(inDir);
  if (!fs::is_directory(root, error)) {
    *why = error ? error.message() : "not a folder";
    return false;
  }
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
  if (error) {
    *why = error.message();
    return false;
  }
  const fs::path skipPath = skip.empty() ? fs::path() : fs::weakly_canonical(fs::path(skip), error);
  for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
    if (error) {
      // A folder that cannot be read: go on with the next entry.
      error.clear();
      continue;
    }
    const fs::directory_entry& entry = *it;
    std::error_code e;
    if (entry.is_directory(e) && !entry.is_symlink(e)) {
      if (!skipPath.empty() && fs::equivalent(entry.path(), skipPath, e)) it.disable_recursion_pending();
      continue;
    }
    if (!endsInFlv(entry.path().filename().string()) || !entry.is_regular_file(e)) continue;
    inputs->push_back({entry.path().lexically_relative(root).generic_string(), {}});
  }
  std::sort(inputs->begin(), inputs->end(), [](const Input& a, const Input& b) { return a.relative < b.relative; });
  return true;
}

void assignPrefixes(std::vector<Input>* inputs) {
  std::set<std::string> taken;
  for (Input& input : *inputs) {
    std::string prefix = input.relative.substr(0, input.relative.size() - 4);
    if (taken.count(lower(prefix))) prefix = input.relative;
    const std::string base = prefix;
    for (int n = 2; taken.count(lower(prefix)); ++n) prefix = base + "~" + std::to_string(n);
    taken.insert(lower(prefix));
    input.prefix = prefix;
  }
}

uint64_t shardOf(const std::string& relative, uint64_t count) { return count ? xxh64(relative) % count : 0; }

}  // namespace batch
