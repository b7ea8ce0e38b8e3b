// The report's pass over one file. Audio is measured by the rules the
// repairs use (MP3 frame lengths, Nellymoser blocks, Speex frames) and, for PCM, by its
// bytes over the byte rate; video is read as far as its flags and packet
// type, never further.
#include "report/drift_scan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "driver/driver.h"
#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tag_heads.h"
#include "libs/tarvel/tarvel.h"
#include "platform/file.h"
#include "report/on_metadata.h"
#include "retime/aac_frames.h"
#include "retime/audio_holes.h"
#include "retime/audio_clocks.h"
#include "retime/repair_io.h"
#include "retime/retime.h"
#include "retime/timeline.h"

namespace report {

namespace {

using retime::kTicksPerMs;
using retime::storedTicks;

constexpr int64_t kJumpMs = 1000;
// A stamp that falls back from within this far below 2^16, 2^24 or 2^32 to
// within this far above 0 has wrapped around a counter of that width.
constexpr int64_t kWrapSlackMs = 10000;
// What a viewer could see: picture and sound a frame or more apart, where
// they stand or by the drift added up over the file. Without a frame rate
// to go by (no video, or a single picture), a frame at 25 per second.
constexpr double kDefaultFrameMs = 40;
constexpr double kDurationToleranceMs = 100;

double ms(int64_t ticks) { return static_cast<double>(ticks) / kTicksPerMs; }

bool pcm(int format) { return format == flv::kPcmPlatformEndian || format == flv::kPcmLittleEndian; }
bool nellymoser(int format) { return format == flv::kNellymoser8kMono || format == flv::kNellymoser; }
bool measurable(int format) {
  return format == flv::kMp3 || format == flv::kAac || pcm(format) || nellymoser(format) || format == flv::kSpeex;
}

// The classic format whose repair takes the audio: extended ".mp3" is MP3,
// "mp4a" AAC; any other format is itself.
int repairedAs(int format, uint32_t fourCc) {
  if (format != flv::kExHeaderSoundFormat) return format;
  return fourCc == flv::kFourCcMp3 ? flv::kMp3 : fourCc == flv::kFourCcAac ? flv::kAac : format;
}

// Stamp faults within one stream: jumps of more than a second, wraps of a
// narrow counter, negative times and small steps back.
class StampWatch {
 public:
  // The kind of fault this stamp shows, if any.
  std::optional<EventKind> check(uint32_t stamp) {
    bool negative = static_cast<int32_t>(stamp) < 0;
    std::optional<EventKind> kind;
    if (negative) {
      if (!wasNegative_) kind = EventKind::kNegativeTime;
    } else if (seen_ && !wasNegative_) {
      int64_t step = int64_t{stamp} - int64_t{previous_};
      if (step > kJumpMs) {
        kind = EventKind::kJumpForward;
      } else if (step < 0) {
        kind = wrapped(previous_, stamp)   ? EventKind::kWrappedTime
               : step < -kJumpMs           ? EventKind::kJumpBackward
                                           : EventKind::kOutOfOrder;
      }
    }
    seen_ = true;
    wasNegative_ = negative;
    previous_ = stamp;
    return kind;
  }

 private:
  static bool wrapped(uint32_t before, uint32_t after) {
    for (int bits : {16, 24, 32}) {
      int64_t limit = int64_t{1} << bits;
      if (before < limit && before >= limit - kWrapSlackMs && after < kWrapSlackMs) return true;
    }
    return false;
  }

  bool seen_ = false;
  bool wasNegative_ = false;
  uint32_t previous_ = 0;
};

// Where the repair puts each video tag, and how far that is from where the
// tag stands, both counted from the start of the sound (the repair stamps
// the first audio tag 0, so a file whose sound starts late is not off). The
// repairs' own clocks and video placement run here: the MP3 repair's clock
// for MP3, the Nellymoser re-timer's for Nellymoser, and for PCM and Speex
// the video re-timers' gap clock over the audio's length by its rule: for
// PCM its bytes (the converted track's length, which only the conversion
// gives exactly), for Speex its frames, which makes it the Speex re-timer's
// own clock (retime::SpeexClock).
class RepairPrediction {
 public:
  // leadingDrift: the repair's drift for the video before the first audio
  // tag (leadingVideoDrift).
  explicit RepairPrediction(int64_t leadingDrift)
      : video_(Offsets{this}, leadingDrift), startMs_(-leadingDrift / kTicksPerMs) {}

  // Set from the stream's format before its first audio tag with one.
  void useRuleOf(int soundFormat) {
    rule_ = soundFormat == flv::kMp3   ? Rule::kMp3
            : soundFormat == flv::kAac ? Rule::kAac  // tagmend --aac
            : nellymoser(soundFormat)  ? Rule::kNellymoser
                                       : Rule::kPcm;
  }

  // tag: read whole. Every clock runs from the first audio tag, so that the
  // one the rule picks has seen what its repair sees (an empty tag before
  // the first with a format included).
  void audio(const TagRecord& tag) {
    seenAudio_ = true;
    // Gaps of a damaged file can add up past any real timeline: no placement then.
    mp3Placed_ = mp3Placed_ && mp3_.place(tag) && mp3_.inTimeline();
    aacPlaced_ = aacPlaced_ && aac_.place(tag) && aac_.inTimeline();
    nellymoserPlaced_ = nellymoserPlaced_ && nellymoser_.place(tag);
    pcmPlaced_ = pcmPlaced_ && pcm_.place(tag);
    if (broken()) return;
    int64_t drift = rule_ == Rule::kMp3          ? mp3_.drift()
                    : rule_ == Rule::kAac        ? aac_.drift()
                    : rule_ == Rule::kNellymoser ? nellymoser_.drift()
                                                 : pcm_.drift();
    video_.audio(storedTicks(tag), drift);
  }

  void video(TagRecord& tag) {
    const int32_t offset = retime::compositionOffset(tag);
    mp3_.video(tag.timestamp, offset);
    nellymoser_.video(tag.timestamp, offset);
    pcm_.video(tag.timestamp, offset);
    if (broken()) return;
    anyVideo_ = true;
    video_.video(tag);
  }

  // The end of the file.
  std::optional<int64_t> maxOffsetMs() {
    if (broken() || !seenAudio_ || !anyVideo_) return std::nullopt;
    video_.finish();
    return maxOffsetMs_;
  }

 private:
  enum class Rule { kMp3, kAac, kNellymoser, kPcm };
  // The video before the first audio tag is placed (later video never goes
  // before it) but not measured: it has no sound to be off from.
  struct Offsets {
    RepairPrediction* prediction;
    void put(TagRecord& tag, uint32_t placedMs) {
      if (!prediction->seenAudio_) return;
      int64_t offset = std::llabs(int64_t{placedMs} - (int64_t{tag.timestamp} - prediction->startMs_));
      prediction->maxOffsetMs_ = std::max(prediction->maxOffsetMs_, offset);
    }
  };

  bool broken() const {
    return rule_ == Rule::kMp3          ? !mp3Placed_
           : rule_ == Rule::kAac        ? !aacPlaced_
           : rule_ == Rule::kNellymoser ? !nellymoserPlaced_
                                        : !pcmPlaced_;
  }

  Rule rule_ = Rule::kPcm;
  retime::Mp3Clock mp3_;
  retime::AacClock aac_;
  retime::NellymoserClock nellymoser_;
  retime::GapClock<retime::SummedContent<audioTagTicks>> pcm_;
  retime::VideoFollower<Offsets> video_;
  int64_t startMs_;
  bool mp3Placed_ = true, aacPlaced_ = true, nellymoserPlaced_ = true, pcmPlaced_ = true;
  bool seenAudio_ = false;
  bool anyVideo_ = false;
  int64_t maxOffsetMs_ = 0;
};

// The audio's real length against its stamps: sounding tags add their
// length, gaps (runs of empty tags) their stamped length, holes theirs.
struct SoundClock {
  bool any = false;
  int64_t firstStored = 0;
  int64_t content = 0;
  int64_t gapTotal = 0;
  bool inGap = false;
  int64_t gapStart = 0;
  bool anySounding = false;
  int64_t lastSoundingStored = 0;
  int64_t lastSoundingLength = 0;
  // The latest tag by stamp, for the end of the timeline.
  uint32_t latestMs = 0;
  int64_t latestLength = 0;
  // The sums left any real timeline (a damaged file): nothing is measured.
  bool broken = false;

  double realMs() const { return ms(content + gapTotal); }
  double offsetMs(int64_t stored) const { return ms(stored - firstStored) - realMs(); }
};

class Scanner {
 public:
  Scanner(FileReport* r, int64_t leadingDrift) : r_(*r), prediction_(leadingDrift) {}

  void run(void* reader, int64_t firstTag, int64_t fileSize);

 private:
  void audio(const TagRecord& tag);
  void video(TagRecord& tag);
  void script(const TagRecord& tag);
  // hole: the length of the audio hole that tag ends, which is no jump.
  void stamp(const TagRecord& tag, StampWatch& watch, bool audio, int64_t hole = 0);
  void finish(int64_t fileSize);

  FileReport& r_;
  StampWatch audioStamps_, videoStamps_;
  SoundClock sound_;
  retime::AudioHoles holes_;
  RepairPrediction prediction_;
  retime::StreamAudioLength audioLength_;
  bool unmeasurable_ = false;
  bool anyMedia_ = false;
  bool avcHeaderSeen_ = false, aacHeaderSeen_ = false;
  uint32_t lastStampMs_ = 0;
  int64_t expected_ = 0;  // where the next tag should start
  // Video frames, for the end of the timeline.
  uint32_t firstFrameMs_ = 0, lastFrameMs_ = 0;
  bool metadataSeen_ = false;
  OnMetaData meta_;
};

void Scanner::run(void* reader, int64_t firstTag, int64_t fileSize) {
  expected_ = firstTag;
  TagRecord tag{};
  while (Flv_ReadTag(reader, TARVEL_READ_SKIP_VIDEO, &tag)) {
    // The reader steps over damage to the next tag it can confirm.
    if (tag.filePosition != expected_) r_.events.add(expected_, lastStampMs_, EventKind::kDamagedTagSkipped);
    expected_ = tag.filePosition + int64_t{flv::kTagHeaderSize} + tag.dataSize + int64_t{flv::kPreviousTagSizeBytes};
    if (tag.tagType == flv::kAudio) {
      audio(tag);
    } else if (tag.tagType == flv::kVideo) {
      video(tag);
    } else if (tag.tagType == flv::kScript) {
      script(tag);
    }
    if (tag.tagType == flv::kAudio || tag.tagType == flv::kVideo) lastStampMs_ = tag.timestamp;
    Flv_FreeTag(&tag);
  }
  Flv_FreeTag(&tag);
  finish(fileSize);
}

void Scanner::stamp(const TagRecord& tag, StampWatch& watch, bool audio, int64_t hole) {
  std::optional<EventKind> kind = watch.check(tag.timestamp);
  if (!kind || (hole > 0 && *kind == EventKind::kJumpForward)) return;
  r_.events.add(tag.filePosition, tag.timestamp, *kind);
  if (audio && sound_.any) r_.curve.mark(sound_.realMs(), sound_.offsetMs(storedTicks(tag)), false);
}

void Scanner::audio(const TagRecord& tag) {
  int64_t stored = storedTicks(tag);
  // Extended audio: the frames after its header (".mp3" and "mp4a" only).
  const bool measured = measurable(tag.soundFormat) || tag.soundFormat == flv::kExHeaderSoundFormat;
  int64_t length = measured ? audioLength_.tagTicks(tag) : 0;
  if (length < 0) {
    // AAC frames without a config to measure them by: the repair refuses
    // the file, and no drift can be told.
    unmeasurable_ = true;
    length = 0;
  }
  int64_t hole = 0;
  if (tag.payloadSize != 0) {
    hole = holes_.sounding(stored, length);
  } else {
    holes_.emptyTag();
  }
  stamp(tag, audioStamps_, true, hole);
  anyMedia_ = true;
  if (r_.soundFormat < 0 && tag.soundFormat >= 0) {
    flv::AudioHead head;
    if (tag.soundFormat == flv::kExHeaderSoundFormat &&
        flv::readAudioHead(tag.raw + flv::kTagHeaderSize, tag.dataSize, &head)) {
      r_.audioFourCc = head.codec;
    }
    r_.soundFormat = tag.soundFormat;
    const int format = repairedAs(tag.soundFormat, r_.audioFourCc);
    r_.lengthKnown = measurable(format);
    prediction_.useRuleOf(format);
  }
  if (unmeasurable_) r_.lengthKnown = false;
  bool aacHeader = tag.soundFormat == flv::kAac && tag.payloadSize > 0 && tag.payload[0] == 0;
  if (tag.soundFormat == flv::kExHeaderSoundFormat && tag.payloadSize > 0) {
    flv::AudioHead head;
    aacHeader = flv::readAudioHead(tag.raw + flv::kTagHeaderSize, tag.dataSize, &head) &&
                head.codec == flv::kFourCcAac && head.packetType == flv::kAudioSequenceStart;
  }
  if (aacHeader) {
    if (aacHeaderSeen_) r_.events.add(tag.filePosition, tag.timestamp, EventKind::kStreamRestart);
    aacHeaderSeen_ = true;
  }
  prediction_.audio(tag);
  SoundClock& s = sound_;
  // Sound stored a moment after a picture with a composition offset starts
  // that far into the repaired timeline; a hole only from kMinHole on.
  if (!s.any && hole < retime::AudioHoles::kMinHole) hole = 0;
  if (!s.any) {
    s.any = true;
    // A hole before the first sound: the timeline starts at the picture.
    s.firstStored = stored - hole;
  }
  if (tag.timestamp >= s.latestMs) {
    s.latestMs = tag.timestamp;
    s.latestLength = length;
  }
  if (s.broken) return;
  if (tag.payloadSize == 0) {
    if (!s.inGap) {
      s.inGap = true;
      s.gapStart = stored;
      r_.events.add(tag.filePosition, tag.timestamp, EventKind::kGapOpened);
      r_.curve.mark(s.realMs(), s.offsetMs(stored), true);
    }
    return;
  }
  if (s.inGap) {
    s.inGap = false;
    s.gapTotal += retime::gapLength(s.gapStart, stored);
    ++r_.gaps;
    r_.events.add(tag.filePosition, tag.timestamp, EventKind::kGapClosed);
  } else if (hole > 0) {
    r_.curve.mark(s.realMs(), s.offsetMs(stored - hole), true);
    s.gapTotal += hole;
    ++r_.gaps;
    r_.events.add(tag.filePosition, tag.timestamp, EventKind::kAudioHole);
  }
  s.broken = !retime::withinTimeline(s.gapTotal) || !retime::withinTimeline(s.content + length);
  if (s.broken) return;
  r_.curve.add(s.realMs(), s.offsetMs(stored));
  s.content += length;
  s.anySounding = true;
  s.lastSoundingStored = stored;
  s.lastSoundingLength = length;
}

void Scanner::video(TagRecord& tag) {
  holes_.video(tag.timestamp, retime::compositionOffset(tag));
  stamp(tag, videoStamps_, false);
  anyMedia_ = true;
  prediction_.video(tag);
  if (tag.dataSize == 0) return;
  // The record holds the header and the first bytes of the data.
  flv::VideoHead v;
  if (!flv::readVideoHead(tag.raw + flv::kTagHeaderSize, tag.rawSize - flv::kTagHeaderSize, &v)) return;
  if (r_.videoCodec < 0) r_.videoCodec = v.codec;
  if (!v.extended && v.codec == flv::kAvc && v.packetType == 0) {
    if (avcHeaderSeen_) r_.events.add(tag.filePosition, tag.timestamp, EventKind::kStreamRestart);
    avcHeaderSeen_ = true;
  }
  if (!flv::holdsPicture(v)) return;
  if (r_.frames == 0) firstFrameMs_ = tag.timestamp;
  lastFrameMs_ = std::max(lastFrameMs_, tag.timestamp);
  ++r_.frames;
  if (flv::indexedAsKeyframe(v)) ++r_.keyframes;
}

void Scanner::script(const TagRecord& tag) {
  if (anyMedia_) r_.events.add(tag.filePosition, tag.timestamp, EventKind::kStreamRestart);
  if (metadataSeen_ || tag.payloadSize <= 0) return;
  if (readOnMetaData(tag.payload, static_cast<size_t>(tag.payloadSize), &meta_)) {
    metadataSeen_ = true;
    r_.metadataPresent = true;
  }
}

// Every index entry must name a video tag flagged as a key frame (one that
// holds coded frames, for an extended header): each is looked at where it
// points, so the index is never held twice.
bool indexPointsAtKeyframes(const std::string& path, const OnMetaData& meta) {
  if (!meta.hasIndex || meta.badPosition) return false;
  platform::File file;
  if (!file.open(path.c_str(), platform::File::Mode::kRead)) return false;
  for (int64_t position : meta.positions) {
    uint8_t head[flv::kTagHeaderSize + 1];
    if (file.readAt(head, sizeof head, position) != sizeof head) return false;
    if ((head[0] & 0x1F) != flv::kVideo || flv::readU24(head + 1) == 0) return false;
    size_t n = std::min<size_t>(flv::readU24(head + 1), flv::kHeadPeekBytes);
    uint8_t data[flv::kHeadPeekBytes];
    if (file.readAt(data, static_cast<int64_t>(n), position + flv::kTagHeaderSize) != static_cast<int64_t>(n)) return false;
    flv::VideoHead v;
    if (!flv::readVideoHead(data, n, &v) || !flv::indexedAsKeyframe(v)) return false;
  }
  return true;
}

void Scanner::finish(int64_t fileSize) {
  // Bytes after the last tag that form no tag: a truncated or damaged end.
  if (fileSize > expected_) r_.events.add(expected_, lastStampMs_, EventKind::kDamagedTagSkipped);
  const SoundClock& s = sound_;
  r_.timelineDamaged = s.broken;
  if (s.anySounding && !s.broken) {
    r_.stampedTicks = s.lastSoundingStored + s.lastSoundingLength - s.firstStored;
    r_.contentTicks = s.content;
    r_.gapTicks = s.gapTotal;
    if (r_.lengthKnown && s.content > 0) {
      double sounding = static_cast<double>(r_.stampedTicks - r_.gapTicks);
      r_.driftPercent = (sounding - static_cast<double>(s.content)) / static_cast<double>(s.content) * 100.0;
    }
  }
  if (r_.lengthKnown) r_.maxAvOffsetMs = prediction_.maxOffsetMs();
  // Where the timeline really ends: the later of the last frame (plus a
  // frame's time) and the latest audio tag's end.
  double endMs = 0;
  if (r_.frames > 0) {
    double frameMs = r_.frames > 1 ? double(lastFrameMs_ - firstFrameMs_) / double(r_.frames - 1) : 0;
    endMs = lastFrameMs_ + frameMs;
    r_.frameMs = frameMs;
  }
  if (s.any) endMs = std::max(endMs, s.latestMs + ms(s.latestLength));
  r_.durationMatches = meta_.durationSeconds && std::fabs(*meta_.durationSeconds * 1000.0 - endMs) <= kDurationToleranceMs;
  r_.keyframesIndex = metadataSeen_ && indexPointsAtKeyframes(r_.path, meta_);
}

// What tagmend does with the file, by the probe it makes.
bool tagmendRepairs(const StreamInfo& info) {
  const int format = repairedAs(info.soundFormat, info.audioFourCc);
  return (format == flv::kMp3 && info.videoCodecId >= 0) || format == flv::kPcmPlatformEndian || nellymoser(format);
}

// Timing a viewer could see: the drift, added up over the file, or the
// largest offset of a picture from its sound, a frame or more. A bare
// percentage would fail a short clip for a millisecond of rounding.
bool timingOff(const FileReport& r) {
  if (r.timelineDamaged) return true;
  const double frameMs = r.frameMs > 0 ? r.frameMs : kDefaultFrameMs;
  if (r.driftPercent) {
    const double driftMs = ms(r.stampedTicks - r.gapTicks - r.contentTicks);
    if (std::fabs(driftMs) >= frameMs) return true;
  } else if (r.lengthKnown && r.stampedTicks > 0) {
    return true;  // stamps over audio that holds nothing measurable
  }
  if (r.maxAvOffsetMs && double(*r.maxAvOffsetMs) >= frameMs) return true;
  if (r.lengthKnown) return false;
  // Without a length rule, the stamps can only be judged against each other.
  for (const Event& e : r.events.kept) {
    switch (e.kind) {
      case EventKind::kJumpForward:
      case EventKind::kJumpBackward:
      case EventKind::kWrappedTime:
      case EventKind::kNegativeTime:
      case EventKind::kOutOfOrder: return true;
      default: break;
    }
  }
  return false;
}

void judge(const StreamInfo& info, FileReport* r) {
  r->tagmendExit = info.soundFormat < 0 ? kExitNoAudio : kExitOk;
  bool ok = r->tagmendExit == kExitOk && !timingOff(*r) && r->metadataPresent && r->durationMatches;
  if (ok) {
    r->verdict = Verdict::kOk;
  } else {
    if (r->tagmendExit == kExitOk && info.soundFormat == flv::kSpeex) {
      r->verdict = Verdict::kNeedsRepairWithSpeex;  // the two-path form leaves Speex alone
    } else {
      r->verdict = r->tagmendExit == kExitOk && tagmendRepairs(info) ? Verdict::kNeedsRepair : Verdict::kCannotRepair;
    }
    // The AAC repair runs when asked for; the two-argument form leaves AAC alone.
    if (r->lengthKnown && repairedAs(info.soundFormat, info.audioFourCc) == flv::kAac && info.videoCodecId >= 0)
      r->verdict = Verdict::kNeedsRepairWithAac;
  }
}

}  // namespace

const char* eventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::kJumpForward: return "jump_forward";
    case EventKind::kJumpBackward: return "jump_backward";
    case EventKind::kWrappedTime: return "wrapped_time";
    case EventKind::kNegativeTime: return "negative_time";
    case EventKind::kOutOfOrder: return "out_of_order";
    case EventKind::kGapOpened: return "gap_opened";
    case EventKind::kGapClosed: return "gap_closed";
    case EventKind::kAudioHole: return "audio_hole";
    case EventKind::kDamagedTagSkipped: return "damaged_tag_skipped";
    case EventKind::kStreamRestart: return "stream_restart";
  }
  return "";
}

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk: return "ok";
    case Verdict::kNeedsRepair: return "needs repair";
    case Verdict::kNeedsRepairWithAac: return "needs repair with --aac";
    case Verdict::kCannotRepair: return "cannot repair";
    case Verdict::kNeedsRepairWithSpeex: return "needs repair with --speex";
  }
  return "";
}

void DriftCurve::add(double realMs, double offsetMs) {
  if (seen_++ % stride_ != 0) return;
  points.push_back({float(realMs), float(offsetMs)});
  if (points.size() < kMaxPoints) return;
  // Full: keep every other point and take half as many from now on.
  for (size_t i = 0; i < points.size() / 2; ++i) points[i] = points[2 * i];
  points.resize(points.size() / 2);
  stride_ *= 2;
}

FileReport scanFile(const std::string& path) {
  FileReport r;
  r.path = path;
  std::unique_ptr<void, void (*)(void*)> reader(CreateFileReadAble(path.c_str()), DeleteFileReadAble);
  StreamInfo info{};
  FlvHeaderRecord header{};
  if (!reader) {
    r.error = "cannot be opened";
    r.tagmendExit = kExitCannotOpen;
    return r;
  }
  if (!GetFLVInfo(reader.get(), &info) || !Flv_ReadHeader(reader.get(), &header)) {
    r.error = "is not an FLV file";
    r.tagmendExit = kExitCannotProbe;
    return r;
  }
  int64_t fileSize = -1;
  {
    platform::File file;
    if (file.open(path.c_str(), platform::File::Mode::kRead)) fileSize = file.size();
  }
  // The repairs move the video before the first audio tag with that tag.
  int64_t leadingDrift = 0;
  if (!retime::leadingVideoDrift(reader.get(), header, &leadingDrift)) {
    r.error = "is not an FLV file";
    r.tagmendExit = kExitCannotProbe;
    return r;
  }
  Scanner scanner(&r, leadingDrift);
  scanner.run(reader.get(), int64_t{header.dataOffset} + int64_t{flv::kPreviousTagSizeBytes}, fileSize);
  // A read that failed part way (an error, the file cut while read, memory
  // running out) would measure part of the file as the whole.
  if (Flv_ReadFailed(reader.get())) {
    r.error = "cannot be read to its end";
    r.tagmendExit = 4;
    return r;
  }
  judge(info, &r);
  return r;
}

std::string soundFormatName(int format) {
  switch (format) {
    case -1: return "";
    case flv::kPcmPlatformEndian: return "pcm";
    case flv::kAdpcm: return "adpcm";
    case flv::kMp3: return "mp3";
    case flv::kPcmLittleEndian: return "pcm-le";
    case flv::kNellymoser16kMono: return "nellymoser-16k";
    case flv::kNellymoser8kMono:
    case flv::kNellymoser: return "nellymoser";
    case flv::kG711ALaw: return "g711-alaw";
    case flv::kG711MuLaw: return "g711-mulaw";
    case flv::kAac: return "aac";
    case flv::kSpeex: return "speex";
    case flv::kMp38k: return "mp3-8k";
    case flv::kDeviceSpecific: return "device-specific";
    default: return "format-" + std::to_string(format);
  }
}

std::string fourCcName(uint32_t code) {
  std::string name;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((code >> shift) & 0xFF);
    name += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') ? c : '?';
  }
  return name;
}

std::string audioCodecName(int format, uint32_t fourCc) {
  return format == flv::kExHeaderSoundFormat && fourCc != 0 ? fourCcName(fourCc) : soundFormatName(format);
}

std::string videoCodecName(int64_t codec) {
  if (codec > 0xFF) return fourCcName(static_cast<uint32_t>(codec));
  switch (codec) {
    case -1: return "";
    case flv::kSorensonH263: return "h263";
    case flv::kScreenVideo: return "screen";
    case flv::kVp6: return "vp6";
    case flv::kVp6Alpha: return "vp6a";
    case flv::kScreenVideo2: return "screen2";
    case flv::kAvc: return "h264";
    case flv::kHevcNonStandard: return "hvc1";  // HEVC as some CDNs store it
    default: return "codec-" + std::to_string(codec);
  }
}

}  // namespace report
