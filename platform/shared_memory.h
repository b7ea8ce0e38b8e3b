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
};

// Creates the object named `name` with `size` bytes, or opens it when it
// already exists (its contents are then kept). A new object is zero-filled.
// Null when the object can be neither created nor opened. On POSIX the
// object is private to the user (mode 0600), and an existing object owned by
// another user is refused. A non-null result may still have a null view().
std::unique_ptr<SharedMemory> createSharedMemory(const char* name, uint32_t size);

// Opens an existing object by name and maps `size` bytes of it; null on
// failure (no such object, or smaller than size).
std::unique_ptr<SharedMemory> openSharedMemory(const char* name, uint32_t size);

}  // namespace platform
