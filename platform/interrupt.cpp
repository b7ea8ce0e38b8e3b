#include <atomic>
#include <cstring>

#include "platform/interrupt_state.h"

namespace platform {
namespace {

constexpr int kSlots = 8;
constexpr size_t kNameBytes = 4096;

// A slot is filled while free-to-writing, and read by the handler only when
// ready: a handler that comes in the middle of a registration skips it.
enum SlotState : int { kFree, kWriting, kReady };

struct Slot {
  std::atomic<int> state{kFree};
  Leftover kind = Leftover::kFile;
  char name[kNameBytes] = {};
};

Slot slots[kSlots];
std::atomic<intptr_t> runningChild{0};
std::atomic<int> armedExitCode{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<intptr_t>::is_always_lock_free,
              "the handler reads these without locks");

}  // namespace

void RemovedOnInterrupt::hold(Leftover kind, const std::string& name) {
  release();
  if (name.empty() || name.size() >= kNameBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kWriting)) continue;
    slots[i].kind = kind;
    std::memcpy(slots[i].name, name.c_str(), name.size() + 1);
    slots[i].state.store(kReady);
    slot_ = i;
    return;
  }
}

void RemovedOnInterrupt::release() {
  if (slot_ < 0) return;
  slots[slot_].state.store(kFree);
  slot_ = -1;
}

void setInterruptChild(intptr_t child) { runningChild.store(child); }

namespace interrupt_state {

void setExitCode(int code) { armedExitCode.store(code); }
int exitCode() { return armedExitCode.load(); }
intptr_t child() { return runningChild.load(); }

void removeLeftovers(void (*remove)(Leftover kind, const char* name)) {
  for (Slot& slot : slots) {
    if (slot.state.load() == kReady) remove(slot.kind, slot.name);
  }
}

}  // namespace interrupt_state
}  // namespace platform
