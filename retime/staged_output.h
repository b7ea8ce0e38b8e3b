// The output file of a repair. It is written under a temporary name in the
// folder of the file it replaces and put in place, whole and with its
// metadata, only when the repair succeeds: a failed or interrupted repair
// never leaves a half-written file at the final path, nor destroys a file
// that was there. The metadata is written into the temporary file, which
// nobody else sees, so its fast in-place update needs no further care.
//
// A symbolic link at the final path is followed: the file it ends at is
// replaced (the link stays, and names the new file). A folder, a device or
// a pipe at the final path is refused: no file is written.
#pragma once

#include <string>

#include "libs/tarvel/tarvel.h"
#include "platform/file.h"
#include "platform/interrupt.h"

namespace retime {

class StagedOutput {
 public:
  explicit StagedOutput(const std::string& finalPath);
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  // Removes the temporary file unless it was published.
  ~StagedOutput();

  // A writer (the FLV library's) on the temporary file, which this object
  // made and only it may write: opened on that very file, never on another
  // put at its name since. Null when the final path is refused or no
  // temporary file could be made.
  void* openWriter() const;
  // Where the repair writes; empty when the final path is refused.
  const std::string& path() const { return stagingPath_; }
  // Gives the closed file the permissions and owner of the file it replaces
  // (a new file: the umask's permissions) where the file system has them,
  // and renames it over that file. False when the rename fails, or a file
  // other than this object's (or the metadata update's copy of it) is at the
  // temporary name.
  bool publish();

 private:
  std::string targetPath_;   // the final path, links followed: what is replaced
  std::string stagingPath_;  // empty when refused
  FlvFileVersion staged_{};  // the temporary file as made
  bool published_ = false;
  platform::RemovedOnInterrupt leftover_;  // the staging file, until published
  platform::RemovedOnInterrupt metadataCopy_;  // the metadata update's copy of it
};

// An advisory lock that a run holds while it writes the outputs of one
// prefix (PREFIX.flv, PREFIX.mp3): a second run for the same prefix waits
// until the first is done, so the pair left is always one run's. The lock
// file, hidden in the folder where PREFIX.flv is written (the prefix's, or
// that of the file a link there names), is removed when the lock is
// released.
class OutputLock {
 public:
  // A lock file left by a run killed outright (SIGKILL) tells that run's
  // process id: its leftovers named after it (its staging files, their
  // metadata copies, its job object) are removed once the lock is taken.
  explicit OutputLock(const char* prefix);
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;
  // False when the lock file could not be made (a missing folder, say).
  bool held() const { return held_; }

 private:
  platform::FileLock lock_;
  platform::RemovedOnInterrupt leftover_;  // the lock file, while held
  bool held_ = false;
};

// The lock file for a prefix: named after the prefix's last component, case
// folded, so that every spelling of one output shares it.
std::string outputLockPath(const char* prefix);

}  // namespace retime
