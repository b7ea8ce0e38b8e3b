// The MP3 repair end to end: FLVs that ffmpeg made, their timestamps damaged
// the way recorders damage them, mended by tagmend and checked against the
// timeline worked out here from the MP3 frames, by ffprobe and by flvmeta.
// Then the same repair for AAC (tagmend --aac), judged by what a viewer
// sees: each beep with its flash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "retime/retime.h"
#include "tests/support/e2e.h"

namespace e2e {
namespace {

// ---- The expected output ---------------------------------------------------

struct Expected {
  std::vector<Tag> tags;  // audio and video, in input order, re-stamped
};

// Audio tags are stamped with the length of the MP3 audio before them; video
// tags move by the shift of the latest audio tag before them in file order
// (the first audio tag's for the video before it), never to before the video
// tag written just before them, nor below 0. Where two audio tags' shifts
// differ by a second or more (a clock jump), the video between them that is
// stored nearer the second takes the second's shift.
Expected expectedMend(const Flv& in) {
  Expected e;
  int64_t audioClock = 0;
  int64_t drift = 0;
  for (const Tag& t : in.tags) {
    if (t.type == 8) {
      drift = -int64_t{t.timestamp} * 10000;
      break;
    }
  }
  int64_t lastVideo = 0;
  int64_t audioStored = 0;
  bool audioSeen = false;
  std::vector<size_t> held;  // video read since the latest audio tag, by index in e.tags
  auto place = [&](size_t i, int64_t by) {
    lastVideo = std::max(lastVideo, int64_t{e.tags[i].timestamp} + by / 10000);
    e.tags[i].timestamp = static_cast<uint32_t>(lastVideo);
  };
  auto release = [&](int64_t nextDrift, int64_t nextStored) {
    bool jump = std::llabs(nextDrift - drift) >= 10000000;
    for (size_t i : held) {
      int64_t stored = int64_t{e.tags[i].timestamp} * 10000;
      bool after = jump && std::llabs(stored - nextStored) < std::llabs(stored - audioStored);
      place(i, after ? nextDrift : drift);
    }
    held.clear();
  };
  for (const Tag& t : in.tags) {
    Tag out = t;
    if (t.type == 8) {
      int64_t stored = int64_t{t.timestamp} * 10000;
      release(audioClock - stored, stored);
      drift = audioClock - stored;
      audioStored = stored;
      audioSeen = true;
      out.timestamp = static_cast<uint32_t>(audioClock / 10000);
      audioClock += mp3PayloadTicks(audioPayload(t));
      e.tags.push_back(out);
    } else if (t.type == 9) {
      e.tags.push_back(out);
      if (audioSeen) {
        held.push_back(e.tags.size() - 1);
      } else {
        place(e.tags.size() - 1, drift);
      }
    }
  }
  release(drift, 0);
  return e;
}

std::string describe(const Tag& t) {
  return "type " + std::to_string(t.type) + " at " + std::to_string(t.timestamp) + " ms, " +
         std::to_string(t.data.size()) + " bytes";
}

// flvmeta's errors (decreasing video timestamps among them).
std::vector<std::string> flvmetaErrors(const FlvmetaCheck& c) {
  std::vector<std::string> errors;
  for (const FlvmetaMessage& m : c.messages) {
    if (m.level == "error" || m.level == "fatal") errors.push_back(m.text);
  }
  if (c.errors < 0) errors.push_back("no report: " + c.json);
  return errors;
}

// ---- Damage ------------------------------------------------------------------

// A fixed pseudo-random sequence, the same on every run.
struct Lcg {
  uint32_t state;
  int next(int span) {  // in [-span, span]
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 8) % static_cast<uint32_t>(2 * span + 1)) - span;
  }
};

// Audio stamped by a clock running 3 % fast, with a little jitter after the
// first half second.
void driftAudioClock(Flv& f) {
  Lcg lcg{7};
  for (Tag& t : f.tags) {
    if (t.type != 8) continue;
    int64_t ms = t.timestamp * 103 / 100;
    if (t.timestamp > 500) ms += lcg.next(12);
    t.timestamp = static_cast<uint32_t>(ms);
  }
}

// Every tag in file order from a video tag just before an audio tag in the
// middle on, shifted by deltaMs: that video tag was stamped after the jump
// and is read before the next audio tag. audioOnly leaves the video where it
// was.
void jump(Flv& f, int64_t deltaMs, bool audioOnly) {
  ASSERT_GT(tagsOfType(f, 8).size(), 4u);
  int64_t from = -1;
  for (size_t i = f.tags.size() / 2; i + 1 < f.tags.size() && from < 0; ++i) {
    if (f.tags[i].type == 9 && f.tags[i + 1].type == 8) from = f.tags[i].offset;
  }
  ASSERT_GE(from, 0);
  for (Tag& t : f.tags) {
    if (t.offset < from || (t.type != 8 && (audioOnly || t.type != 9))) continue;
    t.timestamp = static_cast<uint32_t>(std::max<int64_t>(0, int64_t{t.timestamp} + deltaMs));
  }
}

// A script tag in the middle (a cue point) that the repair must drop.
void addCuePoint(Flv& f) {
  Tag cue;
  cue.type = 18;
  cue.timestamp = 1000;
  cue.data = {0x02, 0x00, 0x0A, 'o', 'n', 'C', 'u', 'e', 'P', 'o', 'i', 'n', 't', 0x05};
  cue.offset = f.tags[f.tags.size() / 2].offset;
  f.tags.insert(f.tags.begin() + static_cast<std::ptrdiff_t>(f.tags.size() / 2), cue);
}

// ---- Fixture -----------------------------------------------------------------

class Mp3Repair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg") || !haveTool("ffprobe") || !haveTool("flvmeta"))
      GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
  }

  // A clip from ffmpeg's test sources: video codec options such as
  // "-c:v flv" or "-c:v libx264 -preset ultrafast", MP3 at the given rate.
  Flv makeInput(const std::string& video, int sampleRate, int channels, double seconds = 3,
                const std::string& size = "96x64") {
    std::string path = makeWithFfmpeg(dir_.file("source.flv"),
        "-f lavfi -i testsrc=size=" + size + ":rate=15 -f lavfi -i sine=frequency=330:sample_rate=" +
        std::to_string(sampleRate) + " -t " + std::to_string(seconds) + " " + video +
        " -c:a libmp3lame -ac " + std::to_string(channels) +
        " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -f flv");
    Flv f = readFlv(path);
    EXPECT_TRUE(f.ok) << f.problem;
    return f;
  }

  // Writes the input, mends it into "<name>-out.flv" and checks the result
  // tag by tag and with the external tools.
  void mendAndCheck(const Flv& input, const std::string& name) {
    SCOPED_TRACE(name);
    std::string in = dir_.file(name + ".flv");
    writeFlv(in, input);
    Flv written = readFlv(in);  // offsets as in the file
    ASSERT_TRUE(written.ok);
    RunResult r = tagmend(in, dir_.file(name + "-out"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "");
    std::string outPath = dir_.file(name + "-out.flv");
    Flv out = readFlv(outPath);
    ASSERT_TRUE(out.ok) << out.problem;
    EXPECT_EQ(out.version, input.version);
    EXPECT_EQ(out.flags, input.flags);

    Expected want = expectedMend(written);
    std::vector<Tag> got;
    for (const Tag& t : out.tags)
      if (t.type != 18) got.push_back(t);
    ASSERT_EQ(got.size(), want.tags.size());
    // Pictures shown out of the order they are stored in (H.264 with
    // B-frames) keep the order they are shown in: the audio's stamps are the
    // running length of its frames, from where the audio starts after the
    // first picture; the video is judged by the order it is shown in.
    const bool reordered = hasCompositionOffsets(written);
    int64_t audioStart = 0;
    for (size_t i = 0; reordered && i < got.size(); ++i) {
      if (got[i].type == 8) {
        audioStart = int64_t{got[i].timestamp} - want.tags[i].timestamp;
        break;
      }
    }
    int wrongStamps = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].type, want.tags[i].type) << "tag " << i;
      ASSERT_EQ(got[i].data, want.tags[i].data) << "tag " << i << ": payload changed";
      if (reordered && got[i].type == 9) continue;
      if (got[i].timestamp != want.tags[i].timestamp + audioStart && ++wrongStamps <= 3)
        ADD_FAILURE() << "tag " << i << " (" << describe(want.tags[i]) << ") stamped " << got[i].timestamp;
    }
    if (reordered) {
      EXPECT_EQ(framesShownOutOfOrder(written, out), 0);
    }
    EXPECT_EQ(wrongStamps, 0) << "tags stamped wrong, of " << got.size();
    checkMetadata(out, want);
    // The metadata was built from the tags as they were written; the
    // library's walk over the closed file finds nothing to change.
    std::string again = dir_.file(name + "-again.flv");
    writeBytes(again, readBytes(outPath));
    ASSERT_EQ(refreshMetadata(again.c_str()), 1);
    EXPECT_TRUE(readBytes(again) == readBytes(outPath)) << "a refresh rewrote the repaired file's metadata";

    std::string probeErrors;
    EXPECT_TRUE(ffprobeReads(outPath, &probeErrors)) << probeErrors;
    EXPECT_EQ(videoDtsStepsBack(outPath), "");
    FlvmetaCheck check = flvmetaCheck(outPath);
    EXPECT_EQ(flvmetaErrors(check), std::vector<std::string>{}) << check.json;
  }

  // One script tag, the fresh onMetaData, first; it describes the output.
  static void checkMetadata(const Flv& out, const Expected& want) {
    ASSERT_FALSE(out.tags.empty());
    EXPECT_EQ(tagsOfType(out, 18).size(), 1u) << "script tags other than one onMetaData";
    Metadata m = parseOnMetaData(out.tags[0]);
    ASSERT_TRUE(m.ok) << "the first tag is no onMetaData";
    uint32_t last = 0;
    for (const Tag& t : want.tags) last = std::max(last, t.timestamp);
    ASSERT_TRUE(m.has("duration"));
    EXPECT_NEAR(m.numbers["duration"], last / 1000.0, 0.5);
    EXPECT_EQ(m.numbers["hasAudio"], 1);
    EXPECT_EQ(m.numbers["hasVideo"], 1);
    EXPECT_EQ(m.numbers["audiocodecid"], 2);
    ASSERT_TRUE(m.has("videocodecid"));
    EXPECT_EQ(m.numbers["videocodecid"], videoCodec(*tagsOfType(out, 9)[0]));
    // A keyframe index, when written, points at the keyframes as written.
    ASSERT_EQ(m.keyframeTimes.size(), m.keyframePositions.size());
    for (size_t i = 0; i < m.keyframePositions.size(); ++i) {
      const Tag* at = nullptr;
      for (const Tag& t : out.tags)
        if (t.offset == static_cast<int64_t>(m.keyframePositions[i])) at = &t;
      ASSERT_NE(at, nullptr) << "keyframe position " << m.keyframePositions[i] << " is no tag";
      EXPECT_EQ(at->type, 9);
      EXPECT_EQ(at->data[0] >> 4, 1) << "not a keyframe";
      EXPECT_NEAR(m.keyframeTimes[i], at->timestamp / 1000.0, 0.0015);
    }
  }

  TempDir dir_;
};

// ---- Inputs as ffmpeg writes them, then damaged ---------------------------------

struct Source {
  const char* name;
  const char* video;
  int rate;
  int channels;
};

const Source kSources[] = {
    {"h263-44k-stereo", "-c:v flv", 44100, 2},
    {"h263-22k-mono", "-c:v flv", 22050, 1},
    {"h263-11k-stereo", "-c:v flv", 11025, 2},
    {"h264-44k-mono", "-c:v libx264 -preset ultrafast -g 15", 44100, 1},
    {"h264-11k-mono", "-c:v libx264 -preset ultrafast -g 15", 11025, 1},
    // B-frames: ffmpeg writes two video tags before the first audio tag.
    {"h264-bframes-22k-stereo", "-c:v libx264 -preset veryfast -g 15", 22050, 2},
};

TEST_F(Mp3Repair, FfmpegOutputAsWritten) {
  for (const Source& s : kSources) mendAndCheck(makeInput(s.video, s.rate, s.channels), s.name);
}

TEST_F(Mp3Repair, AudioClockRunningFastWithJitter) {
  for (const Source& s : kSources) {
    Flv f = makeInput(s.video, s.rate, s.channels);
    driftAudioClock(f);
    mendAndCheck(f, std::string(s.name) + "-drift");
  }
}

TEST_F(Mp3Repair, WholeStreamJumpsForwardAndBack) {
  Flv forward = makeInput("-c:v flv", 22050, 2);
  Flv back = forward;
  jump(forward, 5000, false);
  mendAndCheck(forward, "forward");
  jump(back, -700, false);
  mendAndCheck(back, "back");
}

// Audio alone jumping forward pulls the video after it back, before the
// frames already shown: that video is held at the last time shown.
TEST_F(Mp3Repair, AudioAloneJumps) {
  Flv forward = makeInput("-c:v libx264 -preset ultrafast -g 15", 44100, 2);
  Flv back = forward;
  jump(forward, 400, true);
  mendAndCheck(forward, "audio-forward");
  jump(back, -400, true);
  mendAndCheck(back, "audio-back");
}

TEST_F(Mp3Repair, ScriptTagsAreDroppedAndMetadataIsFresh) {
  Flv f = makeInput("-c:v flv", 22050, 1);
  ASSERT_EQ(f.tags[0].type, 18);
  addCuePoint(f);
  driftAudioClock(f);
  mendAndCheck(f, "cue");
}

// MPEG-2.5 audio (8 kHz) that ffmpeg will not put in an FLV itself: the frames
// of an MP3 file laid into the tags of a video-only clip, several per tag,
// stamped by a clock that runs slow.
TEST_F(Mp3Repair, Mpeg25FramesPackedSeveralToATag) {
  Flv f = makeInput("-c:v flv -an", 22050, 1, 3, "64x48");
  std::string mp3 = makeWithFfmpeg(dir_.file("8k.mp3"),
      "-f lavfi -i sine=sample_rate=8000 -t 3 -c:a libmp3lame -ac 1 -write_xing 0 -id3v2_version 0 "
      "-fflags +bitexact -flags:a +bitexact -f mp3");
  auto frames = mp3Frames(readBytes(mp3));
  ASSERT_GT(frames.size(), 30u);
  ASSERT_EQ(mp3FrameAt(frames[0].data(), 4)->sampleRate, 8000);
  std::vector<Tag> audio;
  for (size_t i = 0; i < frames.size(); i += 3) {
    Tag t;
    t.type = 8;
    t.timestamp = static_cast<uint32_t>(i * 72 * 97 / 100);  // 72 ms a frame, clock 3 % slow
    t.data = {0x22};  // MP3, 5.5 kHz index, 16-bit, mono
    for (size_t k = i; k < std::min(i + 3, frames.size()); ++k)
      t.data.insert(t.data.end(), frames[k].begin(), frames[k].end());
    audio.push_back(t);
  }
  // The last tag cuts its final frame short: the frame still counts whole.
  audio.back().data.resize(audio.back().data.size() - 10);
  // Interleave by time, audio first on a tie.
  std::vector<Tag> merged;
  size_t a = 0;
  for (const Tag& v : f.tags) {
    if (v.type != 9) continue;
    while (a < audio.size() && audio[a].timestamp <= v.timestamp) merged.push_back(audio[a++]);
    merged.push_back(v);
  }
  merged.insert(merged.end(), audio.begin() + static_cast<std::ptrdiff_t>(a), audio.end());
  f.tags = merged;
  f.flags = 0x05;  // audio and video now
  mendAndCheck(f, "mpeg25");
}

// Audio tags with nothing to measure: the flags byte alone, no data at all,
// and bytes that are no MP3 frame. They add no time and stay in the output.
TEST_F(Mp3Repair, AudioTagsWithoutFramesAddNoTime) {
  Flv f = makeInput("-c:v flv", 22050, 1, 2);
  std::vector<Tag> odd(3);
  for (Tag& t : odd) t.type = 8;
  odd[0].data = {0x2E};
  odd[2].data = {0x2E, 'n', 'o', ' ', 'm', 'p', '3'};
  size_t at = f.tags.size() / 2;
  for (Tag& t : odd) {
    t.timestamp = f.tags[at].timestamp;
    f.tags.insert(f.tags.begin() + static_cast<std::ptrdiff_t>(at++), t);
  }
  mendAndCheck(f, "no-frames");
}

TEST_F(Mp3Repair, MendingTwiceChangesNothingMore) {
  Flv f = makeInput("-c:v flv", 44100, 2, 2);
  driftAudioClock(f);
  writeFlv(dir_.file("once-in.flv"), f);
  ASSERT_EQ(tagmend(dir_.file("once-in.flv"), dir_.file("once")).exitCode, 0);
  ASSERT_EQ(tagmend(dir_.file("once.flv"), dir_.file("twice")).exitCode, 0);
  Flv once = readFlv(dir_.file("once.flv")), twice = readFlv(dir_.file("twice.flv"));
  ASSERT_TRUE(once.ok && twice.ok);
  ASSERT_EQ(once.tags.size(), twice.tags.size());
  for (size_t i = 1; i < once.tags.size(); ++i) {
    EXPECT_EQ(once.tags[i].timestamp, twice.tags[i].timestamp) << i;
    EXPECT_EQ(once.tags[i].data, twice.tags[i].data) << i;
  }
}

// ---- AAC (tagmend --aac) ----------------------------------------------------------

// Every tag stamped by a recorder clock running 3 % fast, the audio with up
// to +-15 ms of jitter besides.
void recordWithFastClock(Flv& f) {
  Lcg lcg{11};
  for (Tag& t : f.tags) {
    if (t.type != 8 && t.type != 9) continue;
    int64_t ms = int64_t{t.timestamp} * 103 / 100;
    if (t.type == 8) ms += lcg.next(15);
    t.timestamp = static_cast<uint32_t>(std::max<int64_t>(0, ms));
  }
}

// The audio tags stored from fromMs for lengthMs dropped, the video going on.
void dropAudio(Flv& f, uint32_t fromMs, uint32_t lengthMs) {
  std::erase_if(f.tags, [&](const Tag& t) {
    return t.type == 8 && t.timestamp >= fromMs && t.timestamp < fromMs + lengthMs;
  });
}

enum class Damage { kFastClock, kForwardJump, kAudioLost };

struct AacCase {
  const char* name;
  const char* audio;  // ffmpeg's audio options
  Damage damage;
};

// A white frame once a second and a 20 ms beep on the same second, 120 s of
// H.264 and AAC as ffmpeg records them (without B-frames, whose pictures the
// repairs move by their own rule), damaged as recorders damage them.
class AacRepair : public ::testing::TestWithParam<AacCase> {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg") || !haveTool("ffprobe") || !haveTool("flvmeta"))
      GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
  }

  Flv record(const std::string& audio, int seconds = 120) {
    std::string path = makeWithFfmpeg(dir_.file("source.flv"),
        "-f lavfi -i color=black:size=160x120:rate=25,"
        "drawbox=x=0:y=0:w=160:h=120:color=white:t=fill:enable='lt(mod(t\\,1)\\,0.04)' "
        "-f lavfi -i aevalsrc='if(lt(mod(t\\,1)\\,0.02)\\,0.8*sin(2*PI*1000*t)\\,0)':s=48000 "
        "-t " + std::to_string(seconds) + " -c:v libx264 -preset ultrafast -bf 0 -g 50 " + audio + " -f flv");
    Flv f = readFlv(path);
    EXPECT_TRUE(f.ok) << f.problem;
    return f;
  }

  TempDir dir_;
};

TEST_P(AacRepair, EveryBeepLandsWithItsFlash) {
  const AacCase& c = GetParam();
  Flv f = record(c.audio);
  switch (c.damage) {
    case Damage::kFastClock:
      recordWithFastClock(f);
      break;
    case Damage::kForwardJump:
      recordWithFastClock(f);
      jump(f, 2000, false);
      break;
    case Damage::kAudioLost:
      recordWithFastClock(f);
      dropAudio(f, 60000, 5000);
      break;
  }
  const std::string in = dir_.file("recorded.flv");
  writeFlv(in, f);
  const double before = worstDistance(beepTimes(in, dir_, BeepClock::kSamplesPlayedInTurn), flashTimes(in, dir_));

  RunResult r = run({tagmendPath(), "--aac", in, dir_.file("out")});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kBanner);
  const std::string out = dir_.file("out.flv");
  const std::vector<double> flashes = flashTimes(out, dir_);
  const std::vector<double> beeps = beepTimes(out, dir_);
  EXPECT_EQ(flashes.size(), 120u);
  EXPECT_EQ(beeps.size(), c.damage == Damage::kAudioLost ? 115u : 120u);
  const double after = worstDistance(beeps, flashes);
  std::cout << "[ sync     ] " << c.name << ": worst beep-to-flash " << before * 1000 << " ms before, "
            << after * 1000 << " ms after\n";
  EXPECT_GT(before, 0.2);  // the damage is real (a beep is never further than 0.5 s from some flash)
  EXPECT_LE(after, 0.020);

  std::string probeErrors;
  EXPECT_TRUE(ffprobeReads(out, &probeErrors)) << probeErrors;
  EXPECT_EQ(videoDtsStepsBack(out), "");
  FlvmetaCheck check = flvmetaCheck(out);
  EXPECT_EQ(flvmetaErrors(check), std::vector<std::string>{}) << check.json;
  Flv written = readFlv(out);
  ASSERT_TRUE(written.ok) << written.problem;
  Metadata m = parseOnMetaData(written.tags[0]);
  EXPECT_EQ(m.numbers["audiocodecid"], 10);
}

const AacCase kAacCases[] = {
    {"Lc44100FastClock", "-c:a aac -ar 44100", Damage::kFastClock},
    {"Lc48000FastClock", "-c:a aac -ar 48000", Damage::kFastClock},
    {"Lc44100ForwardJump", "-c:a aac -ar 44100", Damage::kForwardJump},
    {"Lc48000ForwardJump", "-c:a aac -ar 48000", Damage::kForwardJump},
    {"Lc44100AudioLost", "-c:a aac -ar 44100", Damage::kAudioLost},
    {"Lc48000AudioLost", "-c:a aac -ar 48000", Damage::kAudioLost},
};

INSTANTIATE_TEST_SUITE_P(Recordings, AacRepair, ::testing::ValuesIn(kAacCases),
                         [](const auto& info) { return info.param.name; });


// ---- Refusals -------------------------------------------------------------------

class Mp3RepairRefusal : public Mp3Repair {
 protected:
  void SetUp() override {
    Mp3Repair::SetUp();
    if (IsSkipped()) return;
    Flv f = makeInput("-c:v flv", 22050, 1, 1, "64x48");
    driftAudioClock(f);
    writeFlv(dir_.file("x.flv"), f);
    original_ = readBytes(dir_.file("x.flv"));
  }

  // tagmend run in the temporary directory refuses with exit code 4, prints
  // only the banner and leaves the input as it was.
  void expectRefused(const std::string& input, const std::string& prefix) {
    RunResult r = run({tagmendPath(), input, prefix}, dir_.path());
    EXPECT_EQ(r.exitCode, 4) << "prefix " << prefix;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(readBytes(dir_.file("x.flv")), original_) << "input changed by prefix " << prefix;
  }

  std::vector<uint8_t> original_;
};

TEST_F(Mp3RepairRefusal, OutputThatIsTheInputItself) {
  expectRefused("x.flv", "x");
  expectRefused("x.flv", "./x");
  expectRefused("./x.flv", dir_.file("x"));
  ASSERT_EQ(symlink("x.flv", dir_.file("link.flv").c_str()), 0);
  expectRefused("x.flv", "link");
  expectRefused("link.flv", "x");
  ASSERT_EQ(link(dir_.file("x.flv").c_str(), dir_.file("hard.flv").c_str()), 0);
  expectRefused("x.flv", "hard");
  expectRefused("hard.flv", "x");
  EXPECT_EQ(listDir(dir_.path()), (std::vector<std::string>{"hard.flv", "link.flv", "source.flv", "x.flv"}));
}

TEST_F(Mp3RepairRefusal, PrefixLongerThan256Characters) {
  // Nested folders, since one name may not exceed 255 bytes.
  std::string folder = std::string(100, 'd');
  ASSERT_EQ(mkdir(dir_.file(folder).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.file(folder + "/" + folder).c_str(), 0755), 0);
  std::string base = folder + "/" + folder + "/";  // 202 characters, relative to the cwd
  std::string fits = base + std::string(256 - base.size(), 'p');
  std::string tooLong = base + std::string(257 - base.size(), 'q');
  expectRefused("x.flv", tooLong);
  EXPECT_EQ(listDir(dir_.file(base)), std::vector<std::string>{});

  RunResult r = run({tagmendPath(), "x.flv", fits}, dir_.path());
  EXPECT_EQ(r.exitCode, 0) << "a prefix of 256 characters fits";
  EXPECT_TRUE(fileExists(dir_.file(fits + ".flv")));
}

TEST_F(Mp3RepairRefusal, OutputIntoMissingFolder) {
  expectRefused("x.flv", "missing/out");
  expectRefused("x.flv", dir_.file("missing/out"));
  EXPECT_FALSE(fileExists(dir_.file("missing")));
}


// ---- Enhanced FLV: HEVC, AV1 and VP9 through the extended video header ---------
//
// Samples made by ffmpeg 7.1 (scripts/make-enhanced-samples.sh), with the key
// frames ffprobe 7.1 flags beside each (NAME.keyframes: dts_time,pos).

struct EnhancedSample {
  const char* name;
  const char* fourCc;
  int audioCodecId;
};
const EnhancedSample kEnhancedSamples[] = {
    {"hevc_aac", "hvc1", 10}, {"hevcb_mp3", "hvc1", 2}, {"av1aom_mp3", "av01", 2},
    {"av1svt_mp3", "av01", 2}, {"vp9_aac", "vp09", 10},
};

double fourCcNumber(const std::string& code) {
  return double((uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
                (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3])));
}

std::string enhancedSample(const std::string& name) { return sourceDir() + "/samples/enhanced/" + name; }

struct RecordedKeyframe {
  double dts;
  int64_t position;
};
std::vector<RecordedKeyframe> recordedKeyframes(const std::string& name) {
  std::vector<RecordedKeyframe> out;
  std::vector<uint8_t> text = readBytes(enhancedSample(name + ".keyframes"));
  std::string all(text.begin(), text.end());
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find('\n', at);
    std::string line = all.substr(at, end - at);
    at = end == std::string::npos ? all.size() : end + 1;
    size_t comma = line.find(',');
    if (comma != std::string::npos) out.push_back({std::stod(line.substr(0, comma)), std::stoll(line.substr(comma + 1))});
  }
  return out;
}

const Tag* tagAt(const Flv& f, int64_t offset) {
  for (const Tag& t : f.tags)
    if (t.offset == offset) return &t;
  return nullptr;
}

// The audio and video of a file, script tags left out.
std::vector<Tag> mediaTags(const Flv& f) {
  std::vector<Tag> out;
  for (const Tag& t : f.tags)
    if (t.type != 18) out.push_back(t);
  return out;
}

// The written file's metadata names the stream as it is, and its index lists
// exactly the tags ffprobe flags as key frames (found by their bytes), at
// the times they were written with.
void checkEnhancedMetadata(const Flv& input, const Flv& out, const EnhancedSample& s) {
  SCOPED_TRACE(s.name);
  ASSERT_FALSE(out.tags.empty());
  Metadata m = parseOnMetaData(out.tags[0]);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.numbers["videocodecid"], fourCcNumber(s.fourCc));
  EXPECT_EQ(m.numbers["audiocodecid"], s.audioCodecId);
  EXPECT_EQ(m.numbers["width"], 320);
  EXPECT_EQ(m.numbers["height"], 240);
  EXPECT_EQ(m.numbers["hasKeyframes"], 1);
  std::vector<RecordedKeyframe> want = recordedKeyframes(s.name);
  ASSERT_FALSE(want.empty());
  ASSERT_EQ(m.keyframePositions.size(), want.size());
  ASSERT_EQ(m.keyframeTimes.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const Tag* key = tagAt(input, want[i].position);
    ASSERT_NE(key, nullptr) << "recorded key frame " << i << " is no tag of the sample";
    EXPECT_NEAR(key->timestamp / 1000.0, want[i].dts, 0.0005);
    const Tag* indexed = tagAt(out, static_cast<int64_t>(m.keyframePositions[i]));
    ASSERT_NE(indexed, nullptr) << "index entry " << i << " is no tag";
    EXPECT_EQ(indexed->data, key->data) << "index entry " << i << " is not the recorded key frame";
    EXPECT_NEAR(m.keyframeTimes[i], indexed->timestamp / 1000.0, 0.0005);
  }
}

// Decode times of the video never go back.
void expectVideoInOrder(const Flv& f) {
  uint32_t last = 0;
  for (const Tag* t : tagsOfType(f, 9)) {
    EXPECT_GE(t->timestamp, last) << "video tag at " << t->offset << " steps back";
    last = std::max(last, t->timestamp);
  }
}

class EnhancedRecording : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(EnhancedRecording, RefreshedMetadataIndexesTheKeyFramesFfprobeFlags) {
  for (const EnhancedSample& s : kEnhancedSamples) {
    std::string copy = dir_.file(std::string(s.name) + ".flv");
    writeBytes(copy, readBytes(enhancedSample(std::string(s.name) + ".flv")));
    ASSERT_EQ(refreshMetadata(copy.c_str()), 1) << s.name;
    Flv input = readFlv(enhancedSample(std::string(s.name) + ".flv"));
    Flv out = readFlv(copy);
    ASSERT_TRUE(out.ok) << out.problem;
    // Every payload, the sequence starts and the metadata packets among them,
    // as it was, at its time.
    std::vector<Tag> before = mediaTags(input), after = mediaTags(out);
    ASSERT_EQ(after.size(), before.size()) << s.name;
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].data, before[i].data) << s.name << " tag " << i;
      EXPECT_EQ(after[i].timestamp, before[i].timestamp) << s.name << " tag " << i;
    }
    checkEnhancedMetadata(input, out, s);
  }
}

TEST_F(EnhancedRecording, Mp3RepairMovesExtendedVideoWithTheAudio) {
  for (const EnhancedSample& s : kEnhancedSamples) {
    if (s.audioCodecId != 2) continue;
    SCOPED_TRACE(s.name);
    std::string in = enhancedSample(std::string(s.name) + ".flv");
    RunResult r = tagmend(in, dir_.file(s.name));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, kBanner);
    Flv input = readFlv(in);
    Flv out = readFlv(dir_.file(std::string(s.name) + ".flv"));
    ASSERT_TRUE(out.ok) << out.problem;
    Expected want = expectedMend(input);
    std::vector<Tag> got = mediaTags(out);
    ASSERT_EQ(got.size(), want.tags.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].data, want.tags[i].data) << "tag " << i << ": payload changed";
      EXPECT_EQ(got[i].timestamp, want.tags[i].timestamp) << "tag " << i;
    }
    expectVideoInOrder(out);
    checkEnhancedMetadata(input, out, s);
  }
}

// Audio behind the extended header: the same MP3 frames after ".mp3", or
// the same AAC config and frames after "mp4a", are the same clock; other
// FourCCs are formats the tool does not repair. Classic AAC's packet type
// becomes the extended one (sequence header: SequenceStart).
Flv withExtendedAudio(const Flv& classic, const char* fourCc) {
  Flv f = classic;
  for (Tag& t : f.tags) {
    if (t.type != 8 || t.data.empty()) continue;
    const bool aac = t.data[0] >> 4 == 10 && t.data.size() >= 2;
    const uint8_t packetType = aac ? t.data[1] : 1;
    std::vector<uint8_t> data = {uint8_t(0x90 | packetType), uint8_t(fourCc[0]), uint8_t(fourCc[1]),
                                 uint8_t(fourCc[2]), uint8_t(fourCc[3])};
    data.insert(data.end(), t.data.begin() + (aac ? 2 : 1), t.data.end());
    t.data = data;
  }
  return f;
}

TEST_F(EnhancedRecording, ExtendedMp3AudioIsRepairedAsMp3) {
  std::string classicPath = enhancedSample("av1aom_mp3.flv");
  Flv classic = readFlv(classicPath);
  std::string in = dir_.file("ex.flv");
  writeFlv(in, withExtendedAudio(classic, ".mp3"));
  Flv input = readFlv(in);
  RunResult r = tagmend(in, dir_.file("ex-out"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(tagmend(classicPath, dir_.file("classic-out")).exitCode, 0);
  std::vector<Tag> got = mediaTags(readFlv(dir_.file("ex-out.flv")));
  std::vector<Tag> inputTags = mediaTags(input);
  std::vector<Tag> classicOut = mediaTags(readFlv(dir_.file("classic-out.flv")));
  ASSERT_EQ(got.size(), inputTags.size());
  ASSERT_EQ(got.size(), classicOut.size());
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].data, inputTags[i].data) << "tag " << i;
    EXPECT_EQ(got[i].timestamp, classicOut[i].timestamp) << "tag " << i;
  }
  Metadata m = parseOnMetaData(readFlv(dir_.file("ex-out.flv")).tags[0]);
  EXPECT_EQ(m.numbers["audiocodecid"], fourCcNumber(".mp3"));
  EXPECT_EQ(m.numbers["audiosamplerate"], 44100);
  Metadata classicMeta = parseOnMetaData(readFlv(dir_.file("classic-out.flv")).tags[0]);
  EXPECT_EQ(m.numbers["duration"], classicMeta.numbers["duration"]);
  // The metadata written with the tags is what a walk over the closed file finds.
  std::string again = dir_.file("again.flv");
  writeBytes(again, readBytes(dir_.file("ex-out.flv")));
  ASSERT_EQ(refreshMetadata(again.c_str()), 1);
  EXPECT_TRUE(readBytes(again) == readBytes(dir_.file("ex-out.flv"))) << "a refresh rewrote the metadata";
}

TEST_F(EnhancedRecording, OtherExtendedAudioIsLeftAlone) {
  for (const char* fourCc : {"Opus", "fLaC", "ac-3"}) {
    std::string in = dir_.file("ex.flv");
    writeFlv(in, withExtendedAudio(readFlv(enhancedSample("av1aom_mp3.flv")), fourCc));
    RunResult r = tagmend(in, dir_.file("out"));
    EXPECT_EQ(r.exitCode, 0) << fourCc;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"ex.flv"}) << fourCc;
  }
}

// AAC behind "mp4a" is AAC: repaired only with --aac, by the same clock as
// the classic recording, whose audio has no drift to take away.
TEST_F(EnhancedRecording, ExtendedAacAudioIsRepairedAsAacWithItsOption) {
  std::string classicPath = enhancedSample("hevc_aac.flv");
  std::string in = dir_.file("ex.flv");
  writeFlv(in, withExtendedAudio(readFlv(classicPath), "mp4a"));
  for (const std::string& input : {classicPath, in}) {
    SCOPED_TRACE(input);
    RunResult r = tagmend(input, dir_.file("out"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"ex.flv"});
    r = run({tagmendPath(), "--aac", input, dir_.file("out")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<Tag> before = mediaTags(readFlv(input));
    std::vector<Tag> after = mediaTags(readFlv(dir_.file("out.flv")));
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
      ASSERT_EQ(after[i].data, before[i].data) << "tag " << i;
      EXPECT_NEAR(double(after[i].timestamp), double(before[i].timestamp), 1.0) << "tag " << i;
    }
    unlink(dir_.file("out.flv").c_str());
  }
}

// Some CDNs store HEVC as codec id 12 in the classic layout of AVC: packet
// type, composition time, then the HEVC configuration or frames.
TEST_F(EnhancedRecording, CodecTwelveIsReadAsHevc) {
  Flv f = readFlv(enhancedSample("hevc_aac.flv"));
  std::vector<Tag> tags;
  for (const Tag& t : f.tags) {
    if (t.type != 9) {
      tags.push_back(t);
      continue;
    }
    int frameType = (t.data[0] >> 4) & 7;
    int packetType = t.data[0] & 0x0F;
    if (frameType == 5) continue;  // the metadata packet has no classic form
    Tag c = t;
    c.data = {static_cast<uint8_t>(frameType << 4 | 12), static_cast<uint8_t>(packetType == 0 ? 0 : 1), 0, 0, 0};
    size_t body = packetType == 1 ? 8 : 5;
    if (packetType == 1) std::copy(t.data.begin() + 5, t.data.begin() + 8, c.data.begin() + 2);
    c.data.insert(c.data.end(), t.data.begin() + static_cast<std::ptrdiff_t>(body), t.data.end());
    tags.push_back(c);
  }
  f.tags = tags;
  std::string path = dir_.file("hevc12.flv");
  writeFlv(path, f);
  ASSERT_EQ(refreshMetadata(path.c_str()), 1);
  Flv out = readFlv(path);
  Metadata m = parseOnMetaData(out.tags[0]);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.numbers["videocodecid"], 12);
  EXPECT_EQ(m.numbers["width"], 320);
  EXPECT_EQ(m.numbers["height"], 240);
  EXPECT_EQ(m.numbers["framerate"], 25);
  // As with AVC, the classic layout's key-frame sequence header is a place
  // to seek to; the pictures are the ones ffprobe flags.
  std::vector<double> pictures;
  for (size_t i = 0; i < m.keyframePositions.size(); ++i) {
    const Tag* t = tagAt(out, static_cast<int64_t>(m.keyframePositions[i]));
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->data[0], 0x1c);
    if (t->data[1] == 1) pictures.push_back(m.keyframeTimes[i]);
  }
  std::vector<RecordedKeyframe> want = recordedKeyframes("hevc_aac");
  ASSERT_EQ(pictures.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(pictures[i], want[i].dts, 0.0005);
}

}  // namespace
}  // namespace e2e
