// Named shared memory, as two processes use it to share one small record.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// A named shared-memory object and one view of all of it. Closing the
// handle (close() or destruction) leaves the view mapped until the process
// ends, as a Windows view outlives its mapping handle; the object itself goes
// away with its last user.
class SharedMemory {
 public:
  virtual ~SharedMemory() = default;
  // The whole object, or null when it could not be mapped.
  virtual void* view() const = 0;
  // Releases the handle; the view stays valid.
  virtual void close() = 0;
  // Takes the object's name away, so that nobody opens it from now on; who
  // has it open keeps it. On POSIX the creator's object is also unnamed by
  // close() and by an interruption (see interrupt.h); a Windows section's
  // name goes with its last handle anyway.
  virtual void removeName() = 0;
};

// Creates the object named `name` with `size` bytes, or opens it when it
// already exists (its contents are then kept). A new object is zero-filled.
// Null when the object can be neither created nor opened. The object is
// private to the user (on POSIX, mode 0600), and an existing object owned by
// another user is refused. A non-null result may still have a null view().
std::unique_ptr<SharedMemory> createSharedMemory(const char* name, uint32_t size);

// Opens an existing object by name and maps `size` bytes of it; null on
// failure (no such object, or smaller than size).
std::unique_ptr<SharedMemory> openSharedMemory(const char* name, uint32_t size);

}  // namespace platform
