// The names of the files a run makes for itself, kept in fixed memory so
// that a signal handler can remove them: no allocation, no lock, only
// atomic flags and the system's remove call.
#include <atomic>
#include <cstring>

#include "platform/file.h"

namespace platform {
namespace {

// A repair's staging file, the metadata update's copy and the lock file are
// the most a run holds at once; a few more slots leave room.
constexpr int kSlots = 8;
constexpr size_t kMaxName = 4096;

enum SlotState : int { kFree, kFilling, kLive };

struct Slot {
  std::atomic<int> state{kFree};
  char name[kMaxName];
};

Slot gSlots[kSlots];

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the slots");

}  // namespace

TemporaryFileName::TemporaryFileName(const char* path) : slot_(-1) {
  size_t length = std::strlen(path);
  if (length >= kMaxName) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!gSlots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(gSlots[i].name, path, length + 1);
    gSlots[i].state.store(kLive);
    slot_ = i;
    return;
  }
}

TemporaryFileName::~TemporaryFileName() {
  if (slot_ >= 0) gSlots[slot_].state.store(kFree);
}

void removeTemporaryFiles() {
  for (Slot& slot : gSlots) {
    if (slot.state.load() == kLive) removeFile(slot.name);
  }
}

}  // namespace platform
