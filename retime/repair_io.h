// The frame every repair shares: input and output opened, the header copied,
// the tags handed to the repair, then the output closed with fresh metadata
// and put in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/handles.h"
#include "platform/diagnostics.h"
#include "retime/audio_holes.h"
#include "retime/input_pin.h"
#include "retime/output_path.h"
#include "retime/staged_output.h"
#include "retime/timeline.h"
#include "retime/wide_math.h"

namespace retime {

using tarvel::ReaderPtr;
using tarvel::TagSlot;
using tarvel::Writer;

// Runs body(reader, writer, header) between opening and publishing. 0 when
// the output would overwrite the input (or outPath is empty: the prefix was
// too long), the input cannot be opened, is not the pinned input or changes
// while it is read, or has no FLV header, the output is refused (a folder,
// a device, a pipe) or cannot be created, body returns false, or a write
// fails; then nothing is left at outPath that was not there before. 1 when
// the output is in place.
template <class Body>
int runRepair(const char* inputPath, const std::string& outPath, Body&& body) {
  // Checked first: creating the output over the input would destroy it.
  if (outPath.empty() || wouldOverwriteInput(inputPath, outPath)) return 0;
  ReaderPtr reader(CreateFileReadAble(inputPath));
  if (!reader) {
    platform::reportFailure("open input", inputPath);
    return 0;
  }
  if (!readerIsPinnedInput(reader.get())) {
    platform::reportFailure("open input", inputPath, "changed since it was first opened");
    return 0;
  }
  InputPin pin(reader.get());
  FlvHeaderRecord header;
  if (!Flv_ReadHeader(reader.get(), &header)) return 0;
  StagedOutput output(outPath);
  Writer writer(output.openWriter());
  if (!writer) {
    platform::reportFailure("create output", output.path().empty() ? outPath : output.path());
    return 0;
  }
  Flv_WriteHeader(writer.get(), &header);
  if (!body(reader.get(), writer.get(), header)) return 0;
  // An input cut short under the reader ended the tags early: a damaged
  // copy, not a repair.
  if (Flv_ReadFailed(reader.get())) return 0;
  // Written to or cut while it was read: the tags may come from two
  // different recordings.
  if (!readerIsPinnedInput(reader.get())) {
    platform::reportFailure("read input", inputPath, "changed while it was read");
    return 0;
  }
  reader.reset();
  // A write that failed leaves a truncated file: that is no success. The
  // metadata comes from the tags as they were written; the file is not read
  // back for it.
  if (!writer.closeWithMetadata()) {
    platform::reportFailure("write output", output.path());
    return 0;
  }
  return output.publish() ? 1 : 0;
}

// The drift of the video tags that come before the first audio tag: that
// tag's own drift. Every re-timer stamps the first audio tag at 0 (its drift
// is 0 minus its stored time), or, when the picture runs on for a hole
// before it, at that hole's length; the picture before it moves with it. An
// input without audio tags keeps its video times (0). Reads the input up to
// its first audio tag, then puts the reader back after the header. False
// when the header cannot be read again.
inline bool leadingVideoDrift(void* reader, FlvHeaderRecord& header, int64_t* drift) {
  *drift = 0;
  {
    TagSlot tag;
    AudioHoles holes;
    while (tag.next(reader, TARVEL_READ_HEADS)) {
      if (tag->tagType == flv::kVideo) holes.video(tag->timestamp, compositionOffset(*tag));
      if (tag->tagType == flv::kAudio) {
        // The hole's length does not depend on the tag's own.
        int64_t hole = storedPayloadSize(*tag) != 0 ? holes.sounding(storedTicks(*tag), 0) : 0;
        *drift = hole - storedTicks(*tag);
        break;
      }
    }
  }
  rewindReader(reader);
  return Flv_ReadHeader(reader, &header) != 0;
}

// Video tags placed on the repaired timeline, each moved by the drift of the
// latest audio tag before it (leadingDrift before the first audio tag) and
// never stamped before the one written before it. One exception, at a clock
// jump: the video tags read between two audio tags are held until the second
// is read, and when the two audio tags' drifts differ by a second or more,
// the held ones stored nearer the second audio tag than the first were
// stamped after the jump and take the second's drift; the others, and every
// tag of a stretch without such a jump, are placed as they would be at
// once. Holding is bounded: past kMaxHeldTags tags or kMaxHeldBytes bytes,
// the held tags are placed with the drift they have. A held tag keeps the
// bytes its record holds (its head, where the reader did not read its data).
// Each tag goes, in file order, to output.put(TagRecord& tag, uint32_t ms)
// with the time it is placed at.
//
// A stream with composition offsets (H.264 with B-frames: a picture is shown
// at its stamp plus its offset, and pictures are stored out of the order
// they are shown in) cannot take a drift that jumps from one tag to the
// next: two neighbours moved by amounts further apart than their spacing
// are shown in the wrong order. From its first picture with an offset on,
// the video follows a steady drift instead, the audio's drift with its
// stamps' jitter averaged out (SteadyDrift), approached by at most a quarter
// of each tag's stored step, so that neighbours never move by amounts
// further apart than their spacing and decode times still go forward. A
// clock jump (a drift a second or more away) is followed at once, as in any
// stream. Stamps move, offsets stay as stored; a stream without offsets is
// moved as above.
template <class Output>
class VideoFollower {
 public:
  static constexpr size_t kMaxHeldTags = 64;
  static constexpr size_t kMaxHeldBytes = size_t{16} << 20;
  static constexpr int64_t kJump = kTicksPerSecond;
  static constexpr size_t kSteadyAudioTags = 64;

  VideoFollower(Output output, int64_t leadingDrift) : output_(output), drift_(leadingDrift) {}

  void video(TagRecord& tag) {
    if (!audioSeen_) {
      write(tag, drift_);
      return;
    }
    size_t size = tag.rawSize;
    if (held_.size() >= kMaxHeldTags || heldBytes_ + size > kMaxHeldBytes) release(drift_, 0);
    held_.push_back({std::vector<uint8_t>(tag.raw, tag.raw + size), tag.timestamp, tag.dataSize, tag.filePosition});
    heldBytes_ += size;
  }

  // An audio tag stored at stored (ticks) has set the drift to drift.
  void audio(int64_t stored, int64_t drift) {
    release(drift, stored);
    steady_.add(stored, drift);
    drift_ = drift;
    audioStored_ = stored;
    audioSeen_ = true;
  }

  // The end of the input: what is held is placed with the drift it has.
  void finish() { release(drift_, 0); }

 private:
  struct Held {
    std::vector<uint8_t> raw;  // what the record held
    uint32_t storedMs;
    uint32_t dataSize;
    int64_t filePosition;
  };

  void release(int64_t nextDrift, int64_t nextStored) {
    bool jump = nextDrift - drift_ >= kJump || drift_ - nextDrift >= kJump;
    for (Held& h : held_) {
      int64_t stored = int64_t{h.storedMs} * kTicksPerMs;
      bool afterJump = jump && distance(stored, nextStored) < distance(stored, audioStored_);
      TagRecord tag{};
      tag.tagType = flv::kVideo;
      tag.timestamp = h.storedMs;
      tag.dataSize = h.dataSize;
      tag.filePosition = h.filePosition;
      tag.raw = h.raw.data();
      tag.rawSize = static_cast<uint32_t>(h.raw.size());
      write(tag, afterJump ? nextDrift : drift_);
    }
    held_.clear();
    heldBytes_ = 0;
  }

  static int64_t distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

  void write(TagRecord& tag, int64_t drift) {
    if (!reordered_ && compositionOffset(tag) != 0) reordered_ = true;
    if (reordered_) drift = follow(drift, tag.timestamp);
    output_.put(tag, stamps_.next(tag.timestamp, drift));
  }

  // The drift of the audio with its stamps' jitter taken out: over the
  // last kSteadyAudioTags audio tags, the mean drift of the newer half,
  // carried on to the latest tag by the slope from the older half's mean
  // to it (a clock that runs fast makes the drift a slope; a plain mean
  // would lag behind it). Fewer tags: their mean. A jump starts it over.
  struct SteadyDrift {
    static constexpr size_t kHalf = kSteadyAudioTags / 2;
    int64_t stored[kSteadyAudioTags] = {};
    int64_t drifts[kSteadyAudioTags] = {};
    size_t count = 0;
    int64_t target = 0;

    void add(int64_t storedTicks, int64_t drift) {
      if (count > 0 && (drift - target >= kJump || target - drift >= kJump)) count = 0;
      stored[count % kSteadyAudioTags] = storedTicks;
      drifts[count % kSteadyAudioTags] = drift;
      ++count;
      target = estimate();
    }

    int64_t base() const { return drifts[(count - 1) % kSteadyAudioTags]; }

    // Sums over count - from ... count - to (exclusive) of the latest tags,
    // the drifts taken from the latest one's (which a jump keeps within a
    // second of each other, whatever the clock).
    void sums(size_t from, size_t to, int64_t* storedSum, int64_t* driftSum) const {
      const int64_t latest = base();
      *storedSum = *driftSum = 0;
      for (size_t i = count - from; i < count - to; ++i) {
        *storedSum += stored[i % kSteadyAudioTags];
        *driftSum += drifts[i % kSteadyAudioTags] - latest;
      }
    }

    int64_t estimate() const {
      int64_t storedSum, driftSum;
      if (count < kSteadyAudioTags) {
        sums(count, 0, &storedSum, &driftSum);
        return base() + driftSum / static_cast<int64_t>(count);
      }
      int64_t olderStored, olderDrift, newerStored, newerDrift;
      sums(kSteadyAudioTags, kHalf, &olderStored, &olderDrift);
      sums(kHalf, 0, &newerStored, &newerDrift);
      const auto half = static_cast<int64_t>(kHalf);
      const int64_t span = (newerStored - olderStored) / half;
      const int64_t newer = newerDrift / half;
      const int64_t ahead = stored[(count - 1) % kSteadyAudioTags] - newerStored / half;
      if (span <= 0) return base() + newer;
      return base() + newer + mulDivTruncate(newer - olderDrift / half, ahead, span);
    }
  };

  // The drift a reordered stream's tag stored at storedMs takes, drift
  // being the one it would take otherwise.
  int64_t follow(int64_t drift, uint32_t storedMs) {
    if (!following_ || drift - followed_ >= kJump || followed_ - drift >= kJump) {
      followed_ = drift;
    } else if (storedMs > followedMs_ && steady_.count > 0) {
      const int64_t limit = (int64_t{storedMs} - followedMs_) * kTicksPerMs / 4;
      followed_ += std::clamp(steady_.target - followed_, -limit, limit);
    }
    following_ = true;
    followedMs_ = storedMs;
    return followed_;
  }

  Output output_;
  int64_t drift_;
  int64_t audioStored_ = 0;
  bool audioSeen_ = false;
  VideoStamps stamps_;
  SteadyDrift steady_;
  bool reordered_ = false;   // a picture with a composition offset was placed
  bool following_ = false;
  int64_t followed_ = 0;     // the drift a reordered stream follows
  uint32_t followedMs_ = 0;  // the stored time of the tag that took it
  std::vector<Held> held_;
  size_t heldBytes_ = 0;
};

// A repair's output of video tags: each written with its new time, its data
// taken from the reader's input (a held tag's record keeps only what was
// read).
struct TagOutput {
  void* writer;
  void* reader;
  void put(TagRecord& tag, uint32_t ms) {
    stampTimestamp(tag, ms);
    Flv_WriteTagFrom(writer, reader, &tag);
  }
};

class VideoOut : public VideoFollower<TagOutput> {
 public:
  VideoOut(void* writer, void* reader, int64_t leadingDrift)
      : VideoFollower<TagOutput>(TagOutput{writer, reader}, leadingDrift) {}
};

// The pass both video re-timers make: each audio tag advances the clock
// (clock.place(tag) false: give up), each video tag is shown to the clock's
// hole rule (clock.video) and goes out through
// VideoOut, every other tag is dropped. Only the tags' heads are read: the
// clock needs the audio's sizes and flags, and the writer takes the video's
// data from the input.
template <class Clock>
bool writeVideoFollowing(void* reader, void* writer, Clock& clock, int64_t leadingDrift) {
  TagSlot tag;
  VideoOut video(writer, reader, leadingDrift);
  while (tag.next(reader, TARVEL_READ_HEADS)) {
    if (tag->tagType == flv::kAudio) {
      if (!clock.place(*tag)) return false;
      video.audio(storedTicks(*tag), clock.drift());
    } else if (tag->tagType == flv::kVideo) {
      clock.video(tag->timestamp, compositionOffset(*tag));
      video.video(*tag);
    }
  }
  video.finish();
  return true;
}

}  // namespace retime
