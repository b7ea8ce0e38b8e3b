#include "retime/staged_output.h"

#include <cstdint>

#include "platform/diagnostics.h"
#include "retime/retime.h"

namespace retime {

namespace {

// Creates a file of its own in the folder of the file it is to replace,
// under a name short enough whatever the final name's length. The file is
// created exclusively, so nothing planted at a guessable name (a link to
// someone's file) is ever followed or truncated; it is readable by its
// owner alone until it is published. Empty when no name could be had.
std::string createStagingFile(const std::string& targetPath, FlvFileVersion* made) {
  std::string stem = platform::folderOf(targetPath.c_str()) + ".tagmend-" +
                     std::to_string(platform::currentThreadId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = stem + "-" + std::to_string(attempt) + ".part";
    platform::File file;
    if (file.open(candidate.c_str(), platform::File::Mode::kCreateNew)) {
      platform::FileVersion v;
      if (!file.version(&v)) {
        file.close();
        platform::removeFile(candidate.c_str());
        return {};
      }
      made->device = v.id.device;
      made->index = v.id.index;
      return candidate;
    }
    // Nothing there, yet no file could be made: the folder refuses.
    if (platform::replaceableByRename(candidate.c_str()) && !platform::fileExists(candidate.c_str())) {
      platform::reportFailure("create staging file", candidate);
      break;
    }
  }
  return {};
}

}  // namespace

StagedOutput::StagedOutput(const std::string& finalPath) {
  if (!platform::outputTarget(finalPath.c_str(), &targetPath_)) {
    platform::reportFailure("output", finalPath, "not a file that can be replaced");
    return;
  }
  stagingPath_ = createStagingFile(targetPath_, &staged_);
  if (stagingPath_.empty()) return;
  leftover_.hold(platform::Leftover::kFile, stagingPath_);
  // A key-frame index that outgrows the room in front makes the metadata
  // update copy the file beside it, under a name of the FLV library's
  // (the staging path, this thread's id, ".tarvel-tmp"): as large as the
  // output, it goes on an interruption too. The library's own copy of the
  // interruption handling is not the program's, so it is registered here.
  metadataCopy_.hold(platform::Leftover::kFile,
                     stagingPath_ + "." + std::to_string(platform::currentThreadId()) + ".tarvel-tmp");
}

StagedOutput::~StagedOutput() {
  if (!published_ && !stagingPath_.empty()) platform::removeFile(stagingPath_.c_str());
}

void* StagedOutput::openWriter() const {
  if (stagingPath_.empty()) return nullptr;
  return CreateFileWriteAbleChecked(stagingPath_.c_str(), &staged_);
}

bool StagedOutput::publish() {
  if (stagingPath_.empty()) return false;
  // What the writer left at the name: the file made here, or the copy its
  // metadata update renamed over it, a file of ours with no other name.
  // Anything else was put there by someone else, and gets nobody's
  // permissions.
  platform::File staged;
  platform::FileVersion v;
  if (!staged.open(stagingPath_.c_str(), platform::File::Mode::kReadNoLink) || !staged.version(&v)) return false;
  bool made = v.id.device == staged_.device && v.id.index == staged_.index;
  if (!made && !staged.ownedAlone()) {
    platform::reportFailure("publish", stagingPath_, "another file was put at the staging name");
    return false;
  }
  // On a file system without permissions the file keeps what it has.
  staged.adoptAttributesOf(targetPath_.c_str());
  staged.close();
  published_ = platform::replaceFile(stagingPath_.c_str(), targetPath_.c_str());
  if (!published_) platform::reportFailure("rename", stagingPath_ + " to " + targetPath_);
  if (published_) leftover_.release();
  if (published_) metadataCopy_.release();
  return published_;
}

std::string outputLockPath(const char* prefix) {
  std::string p = prefix;
  size_t cut = p.find_last_of("/\\:");
  std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
  // FNV-1a over the case-folded name: short, whatever the prefix's length.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    hash = (hash ^ c) * 1099511628211ull;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) hex[static_cast<size_t>(i)] = kHex[hash & 15];
  // Beside the video output's file, where a run must be able to write
  // anyway: through a link at PREFIX.flv, that is the folder of its target.
  std::string flvTarget;
  std::string folder = platform::outputTarget((p + ".flv").c_str(), &flvTarget)
                           ? platform::folderOf(flvTarget.c_str())
                           : platform::folderOf(prefix);
  return folder + ".tagmend-lock-" + hex;
}

namespace {

// Removes what a run killed outright (SIGKILL) while it held the lock left
// behind, all named after its process id (its main thread's id): its staging
// files beside the lock (createStagingFile tries up to 100 names) and the
// metadata update's copies of them, and a job object whose name it had not
// yet removed (extract/job_mapping.h names it).
void removeLeftoversOf(uint32_t deadRun, const std::string& lockPath) {
  const std::string id = std::to_string(deadRun);
  const std::string stem = platform::folderOf(lockPath.c_str()) + ".tagmend-" + id + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string staging = stem + std::to_string(attempt) + ".part";
    platform::removeLeftoverNow(platform::Leftover::kFile, staging + "." + id + ".tarvel-tmp");
    platform::removeLeftoverNow(platform::Leftover::kFile, staging);
  }
  platform::removeLeftoverNow(platform::Leftover::kSharedMemoryName, "MY_TONECAST_MM_" + id);
}

}  // namespace

OutputLock::OutputLock(const char* prefix) {
  std::string path = outputLockPath(prefix);
  held_ = lock_.lock(path.c_str());
  if (!held_) return;
  leftover_.hold(platform::Leftover::kFile, path);
  if (lock_.deadHolder() != 0) removeLeftoversOf(lock_.deadHolder(), path);
}

}  // namespace retime
