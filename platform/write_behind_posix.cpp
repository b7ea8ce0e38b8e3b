#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/write_behind.h"

namespace platform {

struct WriteBehind::State {
  std::mutex lock;
  std::condition_variable changed;
  struct Batch {
    const ByteSpan* spans;
    size_t count;
  };
  std::deque<Batch> queue;  // the front one is being written
  bool failed = false;
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
          st.changed.wait(hold, [&] { return st.stop || !st.queue.empty(); });
          if (st.queue.empty()) return;
          State::Batch b = st.queue.front();
          bool skip = st.failed;
          hold.unlock();
          bool ok = skip || file_.writeSpans(b.spans, b.count);
          hold.lock();
          if (!ok) st.failed = true;
          st.queue.pop_front();
          st.changed.notify_all();
        }
      });
      s.started = true;
    } catch (const std::system_error&) {
      // No thread to be had: write in the caller's time.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  if (!s.started) {
    if (!s.failed && !file_.writeSpans(spans, count)) s.failed = true;
    return;
  }
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.queue.push_back({spans, count});
  }
  s.changed.notify_all();
}

bool WriteBehind::wait(size_t pending) {
  State& s = *state_;
  std::unique_lock<std::mutex> hold(s.lock);
  s.changed.wait(hold, [&] { return s.queue.size() <= pending; });
  return !s.failed;
}

}  // namespace platform
