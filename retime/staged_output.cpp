#include "retime/staged_output.h"

#include "platform/diagnostics.h"
#include "platform/file.h"
#include "retime/retime.h"

namespace retime {

namespace {

// Creates a file of its own in the final path's folder, under a name short
// enough whatever the final name's length. The file is created exclusively,
// so nothing planted at a guessable name (a link to someone's file) is ever
// followed or truncated. Empty when no name could be had.
std::string createStagingFile(const std::string& finalPath) {
  size_t slash = finalPath.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
  std::string stem = folder + ".tagmend-" + std::to_string(platform::currentThreadId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = stem + "-" + std::to_string(attempt) + ".part";
    platform::File file;
    if (file.open(candidate.c_str(), platform::File::Mode::kCreateNew)) return candidate;
    // Nothing there, yet no file could be made: the folder refuses.
    if (platform::replaceableByRename(candidate.c_str()) && !platform::fileExists(candidate.c_str())) {
      platform::reportFailure("create staging file", candidate);
      break;
    }
  }
  return {};
}

}  // namespace

StagedOutput::StagedOutput(std::string finalPath) : finalPath_(std::move(finalPath)) {
  // A link, a device or a pipe at the final path is written through, never
  // replaced by a file of our own.
  if (!platform::replaceableByRename(finalPath_.c_str())) {
    stagingPath_ = finalPath_;
    return;
  }
  stagingPath_ = createStagingFile(finalPath_);
  created_ = !stagingPath_.empty();
  if (created_) leftover_.hold(platform::Leftover::kFile, stagingPath_);
}

StagedOutput::~StagedOutput() {
  if (!published_ && created_) platform::removeFile(stagingPath_.c_str());
}

bool StagedOutput::publish() {
  if (stagingPath_.empty()) return false;
  published_ = !created_ || platform::replaceFile(stagingPath_.c_str(), finalPath_.c_str());
  if (!published_) platform::reportFailure("rename", stagingPath_ + " to " + finalPath_);
  if (published_) leftover_.release();
  return published_;
}

}  // namespace retime
