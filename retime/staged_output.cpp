#include "retime/staged_output.h"

#include "platform/file.h"
#include "retime/retime.h"

namespace retime {

namespace {

// A name of its own in the final path's folder, short enough whatever the
// final name's length, and different for every running repair.
std::string stagingPathFor(const std::string& finalPath) {
  size_t slash = finalPath.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
  return folder + ".tagmend-" + std::to_string(platform::currentThreadId()) + ".part";
}

}  // namespace

StagedOutput::StagedOutput(std::string finalPath) : finalPath_(std::move(finalPath)) {
  // A link, a device or a pipe at the final path is written through, never
  // replaced by a file of our own.
  stagingPath_ = platform::replaceableByRename(finalPath_.c_str()) ? stagingPathFor(finalPath_) : finalPath_;
}

StagedOutput::~StagedOutput() {
  if (!published_ && stagingPath_ != finalPath_) platform::removeFile(stagingPath_.c_str());
}

bool StagedOutput::publish() {
  refreshMetadata(stagingPath_.c_str());
  published_ = stagingPath_ == finalPath_ || platform::replaceFile(stagingPath_.c_str(), finalPath_.c_str());
  return published_;
}

}  // namespace retime
