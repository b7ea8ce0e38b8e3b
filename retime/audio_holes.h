// Holes in the audio: sound that the recorder lost (or a microphone that
// stopped sending below its silence level) while the camera went on. A hole
// is told from the file itself, one tag at a time:
//
// - drift and jitter: the stored step from one sounding audio tag to the
//   next differs from the first one's length by a few percent or by tens
//   of milliseconds;
// - a clock jump: audio and video stamps step together, and no video is
//   stored inside the step at its usual pace;
// - a hole: the stored step exceeds the length of the audio before it by
//   at least kMinHole and by four of the video's frame times, and the
//   video goes on inside the step: no stretch of it longer than two frame
//   times plus kCoverSlack holds no video stamp.
//
// The video's frame time is the median of the last steps between video
// stamps. Without video (or before it has a pace) there is no hole: a step
// that nothing tells from a jump is left to the clock, as it always was.
// Before the first sounding audio tag, the step runs from the first video
// stamp: audio that starts seconds after the picture starts with a hole.
// So does audio that starts any time after a picture with a composition
// offset (H.264 with B-frames): moving such a picture back to the audio's
// start would take its decode time below 0, where it cannot go without
// being shown out of order.
//
// Every repair keeps a hole as a gap of its length (the step less the audio
// before it): the audio after it starts that much later than the running
// length, and the video inside it keeps its distance from the audio before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace retime {

class AudioHoles {
 public:
  static constexpr int64_t kTicksPerMs = 10000;
  static constexpr int64_t kMinHole = 200 * kTicksPerMs;
  static constexpr int64_t kCoverSlack = 100 * kTicksPerMs;
  static constexpr size_t kPaceSteps = 15;

  // A video tag stored at storedMs, in file order; compositionOffset as
  // retime::compositionOffset reads it.
  void video(uint32_t storedMs, int32_t compositionOffset = 0);

  // An audio tag that holds sound, stored at stored ticks and playing for
  // length ticks. Returns the length of the hole that ends at it, in ticks
  // (0 when there is none).
  int64_t sounding(int64_t stored, int64_t length);

  // An empty audio tag: a gap of its own, which the repairs that keep such
  // gaps measure by its stamps. The next sounding tag's step is not
  // measured again.
  void emptyTag() { afterEmpty_ = true; }

  // The video's frame time in ticks, 0 while it is not known.
  int64_t pace() const;

 private:
  int64_t audioEnd_ = 0;       // where the audio before the open step ends (ticks)
  bool stepOpen_ = false;      // a sounding tag, or the first video, begins one
  bool afterEmpty_ = false;
  bool audioSeen_ = false;
  bool reorderedBeforeAudio_ = false;  // a picture with a composition offset before any audio
  int64_t covered_ = 0;        // the latest video stamp inside the step
  int64_t widest_ = 0;         // the widest stretch without video so far
  int64_t lastVideo_ = -1;
  std::array<int64_t, kPaceSteps> steps_{};
  size_t stepCount_ = 0;
};

}  // namespace retime
