// The output file of a repair. It is written under a temporary name in the
// folder of its final path and put in place, whole and with its metadata,
// only when the repair succeeds: a failed or interrupted repair never leaves
// a half-written file at the final path, nor destroys a file that was there.
// The metadata is written into the temporary file, which nobody else sees,
// so its fast in-place update needs no further care.
#pragma once

#include <string>

#include "platform/interrupt.h"

namespace retime {

class StagedOutput {
 public:
  explicit StagedOutput(std::string finalPath);
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  // Removes the temporary file unless it was published.
  ~StagedOutput();

  // Where the repair writes.
  const char* path() const { return stagingPath_.c_str(); }
  // Renames the closed file over the final path. False when the rename fails.
  bool publish();

 private:
  std::string finalPath_;
  std::string stagingPath_;
  bool created_ = false;  // the staging file is ours, made for this repair
  bool published_ = false;
  platform::RemovedOnInterrupt leftover_;  // the staging file, until published
};

}  // namespace retime
