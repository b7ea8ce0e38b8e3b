#include "retime/input_pin.h"

#include "platform/file.h"

namespace retime {

namespace {

// One run, one thread: the pin is the run's, not a repair's.
const FlvFileVersion* gPinned = nullptr;

bool same(const FlvFileVersion& a, const FlvFileVersion& b) {
  return a.device == b.device && a.index == b.index && a.size == b.size && a.modified == b.modified;
}

}  // namespace

InputPin::InputPin(void* reader) : previous_(gPinned) {
  if (reader && Flv_GetFileVersion(reader, &version_)) gPinned = &version_;
}

InputPin::~InputPin() { gPinned = previous_; }

bool readerIsPinnedInput(void* reader) {
  if (!gPinned) return true;
  FlvFileVersion now{};
  return reader && Flv_GetFileVersion(reader, &now) && same(now, *gPinned);
}

bool pathIsPinnedInput(const char* path) {
  if (!gPinned) return true;
  platform::FileVersion v;
  if (!platform::versionOf(path, &v)) return false;
  FlvFileVersion now{v.id.device, v.id.index, v.size, v.modified};
  return same(now, *gPinned);
}

}  // namespace retime
