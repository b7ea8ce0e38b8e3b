// One pass over an FLV file: how far its audio stamps stand from the audio's
// own length, what the repair would do to its video, what its metadata
// says, and what went wrong in its timeline along the way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace report {

enum class EventKind {
  // Stamp faults within one stream.
  kJumpForward,
  kJumpBackward,
  kWrappedTime,
  kNegativeTime,
  kOutOfOrder,
  // Gaps in the audio: runs of empty audio tags, and holes (sound lost while
  // the picture went on; the event is the audio tag after one).
  kGapOpened,
  kGapClosed,
  kAudioHole,
  kDamagedTagSkipped,
  kStreamRestart,
};
// The kind as the report prints it: "jump_forward", "gap_opened", ...
const char* eventKindName(EventKind kind);

struct Event {
  int64_t offset;  // byte position of the tag (or damage) in the file
  int64_t ms;      // the tag's stamp as stored
  EventKind kind;
};

// The first kKeptEvents events, and how many there were in all.
struct EventLog {
  static constexpr size_t kKeptEvents = 1000;
  std::vector<Event> kept;
  uint64_t total = 0;
  void add(int64_t offset, int64_t ms, EventKind kind) {
    if (kept.size() < kKeptEvents) kept.push_back({offset, ms, kind});
    ++total;
  }
};

// The audio stamps' distance from the audio's real time, thinned to a fixed
// number of points however long the file: every stride-th sounding tag.
struct DriftCurve {
  static constexpr size_t kMaxPoints = 2048;
  struct Point {
    float realMs;    // where the audio really is (its length so far, gaps included)
    float offsetMs;  // where its stamps put it, minus that
  };
  struct Mark {
    float realMs;
    float offsetMs;
    bool gap;  // a gap (else a stamp jump, wrap or negative time)
  };
  static constexpr size_t kMaxMarks = 200;
  std::vector<Point> points;
  std::vector<Mark> marks;
  void add(double realMs, double offsetMs);
  void mark(double realMs, double offsetMs, bool gap) {
    if (marks.size() < kMaxMarks) marks.push_back({float(realMs), float(offsetMs), gap});
  }

 private:
  uint64_t seen_ = 0;
  uint64_t stride_ = 1;
};

enum class Verdict { kOk, kNeedsRepair, kNeedsRepairWithAac, kNeedsRepairWithSpeex, kCannotRepair };
// "ok", "needs repair", "cannot repair" or, for the formats that only an
// option of tagmend repairs, "needs repair with --aac" / "with --speex".
const char* verdictName(Verdict verdict);

struct FileReport {
  std::string path;
  std::string error;  // set when the file cannot be opened or is not FLV
  int tagmendExit = 0;

  // Audio. soundFormat -1 without audio; the lengths are ticks (100 ns).
  int soundFormat = -1;
  uint32_t audioFourCc = 0;  // sound format 9: the extended header's FourCC
  bool lengthKnown = false;  // the format's length rule is known
  int64_t contentTicks = 0;
  int64_t stampedTicks = 0;
  int64_t gapTicks = 0;
  uint64_t gaps = 0;
  std::optional<double> driftPercent;
  bool timelineDamaged = false;  // stamps too far apart to measure anything

  // Video. codecId -1 without video.
  int64_t videoCodec = -1;  // the CodecID, or an extended header's FourCC as a number
  uint64_t frames = 0;
  uint64_t keyframes = 0;
  double frameMs = 0;  // a picture's time (the video's mean); 0 without two frames

  std::optional<int64_t> maxAvOffsetMs;
  EventLog events;

  bool metadataPresent = false;
  bool durationMatches = false;
  bool keyframesIndex = false;

  Verdict verdict = Verdict::kOk;
  DriftCurve curve;
};

// Reads path once (video payloads skipped) and fills the report. On a file
// that cannot be opened or holds no FLV header, error is set, tagmendExit
// is kExitCannotOpen or kExitCannotProbe, and nothing else is meaningful.
FileReport scanFile(const std::string& path);

// The name of a sound format or video codec, as the report prints it.
std::string soundFormatName(int format);
// Extended audio and video are named by their FourCC ("hvc1", ".mp3").
std::string audioCodecName(int format, uint32_t fourCc);
std::string videoCodecName(int64_t codec);

}  // namespace report
