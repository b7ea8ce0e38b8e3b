// Gathered writes of one file, made on a thread of their own where the
// system has threads, in the order they are handed over: the caller reads
// and prepares the next bytes while the system copies the last ones into
// the file. Elsewhere (and when no thread can be started) each batch is
// written when it is handed over.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/file.h"

namespace platform {

class WriteBehind {
 public:
  // file must outlive this object, and is written by nobody else while
  // batches are pending.
  explicit WriteBehind(File& file);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  // Waits for every batch.
  ~WriteBehind();

  // Hands over a batch: the spans and the bytes they point to must stay as
  // they are until wait() has seen the batch written.
  void submit(const ByteSpan* spans, size_t count);
  // Blocks until at most `pending` batches are left unwritten. False once
  // any write has failed (the file is then incomplete); later batches are
  // dropped unwritten.
  bool wait(size_t pending);

 private:
  struct State;
  File& file_;
  std::unique_ptr<State> state_;
};

}  // namespace platform
