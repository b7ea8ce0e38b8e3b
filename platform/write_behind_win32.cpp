// Windows: each batch is written when it is handed over.
#include "platform/write_behind.h"

namespace platform {

struct WriteBehind::State {
  bool failed = false;
};

WriteBehind::WriteBehind(File& file) : file_(file), state_(std::make_unique<State>()) {}

WriteBehind::~WriteBehind() = default;

void WriteBehind::submit(const ByteSpan* spans, size_t count) {
  if (!state_->failed && !file_.writeSpans(spans, count)) state_->failed = true;
}

bool WriteBehind::wait(size_t) { return !state_->failed; }

}  // namespace platform
