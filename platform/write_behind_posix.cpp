#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/write_behind.h"

namespace platform {

namespace {

// The batches waiting, in a ring that never allocates: a writer that
// hands over more waits for room.
constexpr size_t kMaxQueued = 4;

}  // namespace

struct WriteBehind::State {
  std::mutex lock;
  std::condition_variable changed;
  struct Batch {
    const ByteSpan* spans;
    size_t count;
  };
  Batch ring[kMaxQueued];
  size_t first = 0;   // the one being written
  size_t queued = 0;  // batches not yet written, that one included
  bool failed = false;
  int error = 0;  // errno of the write that failed, for the caller's reports
  bool stop = false;
  bool started = false;  // false: no thread, batches are written at once
  std::thread thread;
};

WriteBehind::WriteBehind(File& file) : file_(file), state_(std::make_unique<State>()) {}

WriteBehind::~WriteBehind() {
  wait(0);
  if (!state_->started) return;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->stop = true;
  }
  state_->changed.notify_all();
  state_->thread.join();
}

void WriteBehind::submit(const ByteSpan* spans, size_t count) {
  State& s = *state_;
  if (!s.started) {
    // Signals go to the caller's thread, whose handlers expect them: the
    // writing thread starts with them all blocked.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      s.thread = std::thread([this] {
        State& st = *state_;
        std::unique_lock<std::mutex> hold(st.lock);
        for (;;) {
          st.changed.wait(hold, [&] { return st.stop || st.queued > 0; });
          if (st.queued == 0) return;
          State::Batch b = st.ring[st.first];
          bool skip = st.failed;
          hold.unlock();
          bool ok = skip || file_.writeSpans(b.spans, b.count);
          const int error = errno;
          hold.lock();
          if (!ok) st.failed = true;
          if (!ok) st.error = error;
          st.first = (st.first + 1) % kMaxQueued;
          --st.queued;
          st.changed.notify_all();
        }
      });
      s.started = true;
    } catch (...) {
      // No thread to be had: write in the caller's time.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  if (!s.started) {
    if (!s.failed && !file_.writeSpans(spans, count)) {
      s.failed = true;
      s.error = errno;
    }
    return;
  }
  {
    std::unique_lock<std::mutex> hold(s.lock);
    s.changed.wait(hold, [&] { return s.queued < kMaxQueued; });
    s.ring[(s.first + s.queued) % kMaxQueued] = {spans, count};
    ++s.queued;
  }
  s.changed.notify_all();
}

bool WriteBehind::wait(size_t pending) {
  State& s = *state_;
  std::unique_lock<std::mutex> hold(s.lock);
  s.changed.wait(hold, [&] { return s.queued <= pending; });
  // The writing thread's errno is its own: the failure's reason is told here.
  if (s.failed && s.error != 0) errno = s.error;
  return !s.failed;
}

}  // namespace platform
