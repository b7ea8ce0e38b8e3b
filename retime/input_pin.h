// The input as a run first opened it. tagmend opens its input several times
// by path (the driver's probe, the flow's probe, the converter, each
// repair's reader); a recorder that rotates its files, or anyone else, may
// replace or change it in between, and a repair must then fail rather than
// pair the audio of one file with the video of another. While a pin lives,
// every later open is checked against it: the same file (device and index),
// of the same size and modification time.
#pragma once

#include "libs/tarvel/tarvel.h"

namespace retime {

class InputPin {
 public:
  // Pins the file that reader (the FLV library's) reads, as it is now;
  // nothing is pinned when the system cannot tell which file that is. Pins
  // nest: the previous one is back when this one goes.
  explicit InputPin(void* reader);
  InputPin(const InputPin&) = delete;
  InputPin& operator=(const InputPin&) = delete;
  ~InputPin();

 private:
  FlvFileVersion version_{};
  const FlvFileVersion* previous_;
};

// True when no input is pinned, or reader reads the pinned file, unchanged.
bool readerIsPinnedInput(void* reader);
// True when no input is pinned, or path names the pinned file, unchanged.
bool pathIsPinnedInput(const char* path);

}  // namespace retime
