// The metadata update's inner interface, for its tests: which way it writes,
// and a hook called at each step that can fail the step.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/tarvel/meta_scan.h"

namespace tarvel {

enum class UpdateResult {
  kDone,        // rewritten in place
  kDoneByCopy,  // replaced by a rewritten copy
  kNotTried,    // in place is not possible here; the file is untouched
  kFailed,      // the file is as it was
  kDamaged,     // in place failed and could not be undone
};

enum class UpdateMethod { kAny, kInPlace, kCopy };
enum class UpdateStep { kBeforeOverwrite, kBeforeInsert, kAfterInsert, kCopying, kBeforeRename };

// Returns false to make the step fail. Not thread-safe: tests only.
using TestHook = bool (*)(UpdateStep step);
void setTestHook(TestHook hook);
void setUpdateMethod(UpdateMethod method);
bool testHook(UpdateStep step);

// Writes the file that scan describes back with fresh metadata: in place
// where possible, else by a copy renamed over it.
UpdateResult updateMetadata(const FlvScan& scan, const char* path);

// The same for a file this library's writer has just written and still holds
// open, as scan describes it without reading it back: the new header and
// metadata over the room in front, which holds written (the header and
// placeholder as the writer wrote them; a failed write puts them back).
// kNotTried when they do not fit there; the file is then untouched.
UpdateResult updateWrittenFile(const FlvScan& scan, platform::File& file, const std::vector<uint8_t>& written);

}  // namespace tarvel
