// tonecast.exe end to end: FLVs that ffmpeg made with PCM and Nellymoser
// audio, with gaps cut into them here, converted by tonecast.exe alone (the
// job written into shared memory as tagmend writes it) and by the whole
// chain under tagmend; the MP3s decoded by ffmpeg and compared with the
// input's own audio. Last, the measure that users see: flashes and beeps
// recorded together by a clock running fast come out together again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "extract/conversion_job.h"
#include "platform/file.h"
#include "platform/shared_memory.h"
#include "tests/support/e2e.h"

namespace e2e {
namespace {

constexpr int kRate = 44100;     // what the MP3 holds, and what ffmpeg decodes to here
constexpr int kMp3Frame = 1152;  // one MPEG-1 layer III frame, in samples

// ---- Signals -----------------------------------------------------------------

// The first audio stream of a media file, decoded by ffmpeg to mono float
// samples at 44.1 kHz. ffmpeg honours the MP3's LAME tag (delay and padding).
std::vector<float> decodeAudio(const std::string& path, const TempDir& dir, int channels = 1) {
  const std::string raw = dir.file("decoded.f32");
  RunResult r = run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", path, "-map",
                     "0:a:0", "-ac", std::to_string(channels), "-ar", std::to_string(kRate), "-f", "f32le", raw});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<uint8_t> bytes = readBytes(raw);
  std::vector<float> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = std::min(x.size(), y.size());
  double mx = 0, my = 0;
  for (size_t i = 0; i < n; ++i) mx += x[i], my += y[i];
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < n; ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0.0;
}

// Energy per 20 ms window.
std::vector<double> envelope(const std::vector<float>& s) {
  const size_t window = kRate / 50;
  std::vector<double> e;
  for (size_t from = 0; from + window <= s.size(); from += window) {
    double sum = 0;
    for (size_t i = from; i < from + window; ++i) sum += double{s[i]} * s[i];
    e.push_back(sum / static_cast<double>(window));
  }
  return e;
}

// The best normalised correlation of a[from, to) with b shifted by up to
// maxLag samples either way.
double waveformMatch(const std::vector<float>& a, const std::vector<float>& b, size_t from,
                     size_t to, int maxLag) {
  double best = -1;
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = from; i < to; ++i) {
      const auto j = static_cast<ptrdiff_t>(i) + lag;
      if (j < 0 || j >= static_cast<ptrdiff_t>(b.size()) || i >= a.size()) continue;
      sab += double{a[i]} * b[static_cast<size_t>(j)];
      saa += double{a[i]} * a[i];
      sbb += double{b[static_cast<size_t>(j)]} * b[static_cast<size_t>(j)];
    }
    if (saa > 0 && sbb > 0) best = std::max(best, sab / std::sqrt(saa * sbb));
  }
  return best;
}

// ---- Inputs --------------------------------------------------------------------

struct Input {
  std::string name;
  std::string audioArgs;  // ffmpeg encoder options
  bool video = false;
  bool gap = false;
  bool littleEndianToPlatform = false;  // pcm_s16le gives format 3; the recorders wrote 0
  uint32_t mutedMs = 0;  // the gap made longer by this much: a muted microphone
  const char* videoArgs = "-c:v flv";
};

std::ostream& operator<<(std::ostream& os, const Input& in) { return os << in.name; }

// A tone whose pitch and level step three times a second, so that both the
// waveform and the energy per window say where the audio is.
constexpr const char* kSteppedTone =
    "aevalsrc=(0.15+0.6*mod(floor(t*3)\\,2))*sin(2*PI*(300+150*mod(floor(t*3)\\,4))*t):s=44100";

// The positions (audio-tag indexes) of the gap cut into an input: the tags
// from 40 % to 55 % of the audio lose their payload.
struct Cut {
  bool made = false;
  uint32_t openMs = 0;
  uint32_t closeMs = 0;
  uint32_t mutedMs = 0;  // added to the gap, at its end
};

Cut cutGap(Flv& f, uint32_t mutedMs) {
  std::vector<Tag*> audio;
  for (Tag& t : f.tags) {
    if (t.type == 8) audio.push_back(&t);
  }
  const size_t from = audio.size() * 40 / 100, to = audio.size() * 55 / 100;
  Cut cut{true, audio[from]->timestamp, audio[to]->timestamp, mutedMs};
  for (size_t i = from; i < to; ++i) audio[i]->data.resize(1);  // the flags byte alone
  // Every tag from the closing one on comes later by the muted time.
  bool closed = false;
  for (Tag& t : f.tags) {
    closed = closed || &t == audio[to];
    if (closed) t.timestamp += mutedMs;
  }
  return cut;
}

// The rate of the audio that ffmpeg was asked for ("-ar N").
int sourceRate(const Input& in) {
  const size_t at = in.audioArgs.find("-ar ");
  return at == std::string::npos ? kRate : std::stoi(in.audioArgs.substr(at + 4));
}

bool isNellymoser(const Input& in) { return in.audioArgs.find("nellymoser") != std::string::npos; }

void setSoundFormat(Flv& f, uint8_t format) {
  for (Tag& t : f.tags) {
    if (t.type == 8 && !t.data.empty()) t.data[0] = static_cast<uint8_t>((format << 4) | (t.data[0] & 0x0F));
  }
}

// Where the audio starts: at 0, but after pictures with composition offsets
// (H.264 with B-frames) as far after the first picture as it is stored; such
// pictures cannot move back to it.
uint32_t audioStartMs(const Flv& f) {
  const std::vector<const Tag*> audio = tagsOfType(f, 8), video = tagsOfType(f, 9);
  if (audio.empty() || video.empty() || !hasCompositionOffsets(f)) return 0;
  return audio[0]->timestamp > video[0]->timestamp ? audio[0]->timestamp - video[0]->timestamp : 0;
}

// The length of the audio in an FLV in seconds, as the converter must write
// it: where it starts, every non-empty tag's samples at its rate, and each
// closed gap's stored length.
double timelineSeconds(const Flv& f) {
  static const int kRates[4] = {5512, 11025, 22050, 44100};
  double seconds = audioStartMs(f) / 1000.0;
  bool inGap = false;
  uint32_t gapStart = 0;
  for (const Tag& t : f.tags) {
    if (t.type != 8) continue;
    const size_t payload = t.data.empty() ? 0 : t.data.size() - 1;
    if (payload == 0) {
      if (!inGap) gapStart = t.timestamp;
      inGap = true;
      continue;
    }
    if (inGap) seconds += (t.timestamp - gapStart) / 1000.0;
    inGap = false;
    const uint8_t flags = t.data[0];
    const int format = flags >> 4;
    if (format == 0 || format == 3) {
      const size_t frameBytes = size_t{(flags & 2) ? 2u : 1u} * ((flags & 1) ? 2 : 1);
      seconds += static_cast<double>(payload / frameBytes) / kRates[(flags >> 2) & 3];
    } else {
      const int rate = format == 5 ? 8000 : format == 4 ? 16000 : kRates[(flags >> 2) & 3];
      seconds += static_cast<double>(payload / 64 * 256) / rate;
    }
  }
  return seconds;
}

struct Prepared {
  std::string original;  // as ffmpeg made it
  std::string input;     // what the converter gets
  Flv flv;
  Cut cut;
};

Prepared prepare(const Input& in, const TempDir& dir) {
  Prepared p;
  p.original = dir.file("original.flv");
  std::string args = "-f lavfi -i " + std::string(kSteppedTone) + " ";
  if (in.video) args += "-f lavfi -i testsrc=size=160x120:rate=25 " + std::string(in.videoArgs) + " ";
  makeWithFfmpeg(p.original, args + "-t 4 " + in.audioArgs);
  p.flv = readFlv(p.original);
  EXPECT_TRUE(p.flv.ok) << p.flv.problem;
  if (in.littleEndianToPlatform) setSoundFormat(p.flv, 0);
  if (in.gap) p.cut = cutGap(p.flv, in.mutedMs);
  p.input = dir.file("input.flv");
  writeFlv(p.input, p.flv);
  return p;
}

// The input's own audio as ffmpeg decodes it, with the cut gap silenced (and
// made longer by the muted time): what the MP3 must sound like. ffmpeg's
// Nellymoser decoder gives the audio 128 samples (at the source rate) late;
// the converter does not.
std::vector<float> expectedAudio(const Prepared& p, const Input& in, const TempDir& dir) {
  std::vector<float> s = decodeAudio(p.original, dir);
  if (isNellymoser(in)) s.erase(s.begin(), s.begin() + 128 * kRate / sourceRate(in));
  if (p.cut.made) {
    const size_t from = size_t{p.cut.openMs} * kRate / 1000, to = size_t{p.cut.closeMs} * kRate / 1000;
    std::fill(s.begin() + static_cast<long>(std::min(from, s.size())),
              s.begin() + static_cast<long>(std::min(to, s.size())), 0.0f);
    s.insert(s.begin() + static_cast<long>(std::min(to, s.size())), size_t{p.cut.mutedMs} * kRate / 1000, 0.0f);
  }
  s.insert(s.begin(), size_t{audioStartMs(p.flv)} * kRate / 1000, 0.0f);
  return s;
}

// The MP3 checks: ffprobe reads it; its length is the input's timeline
// within one frame; its energy follows the input's window by window; and its
// waveform matches the input's before the gap and after it.
void checkMp3(const std::string& mp3, const Prepared& p, const Input& in, const TempDir& dir) {
  std::string errors;
  EXPECT_TRUE(ffprobeReads(mp3, &errors)) << errors;
  const std::vector<float> got = decodeAudio(mp3, dir);
  const double expectedSamples = timelineSeconds(p.flv) * kRate;
  EXPECT_NEAR(static_cast<double>(got.size()), expectedSamples, kMp3Frame);
  const std::vector<float> want = expectedAudio(p, in, dir);
  EXPECT_GT(pearson(envelope(got), envelope(want)), 0.95);
  const double floor = isNellymoser(in) ? 0.8 : 0.9;
  const size_t before = static_cast<size_t>(kRate * 0.2), end = want.size() - kRate / 5;
  EXPECT_GT(waveformMatch(want, got, before, before + kRate / 2, 100), floor) << "start";
  EXPECT_GT(waveformMatch(want, got, end - kRate / 2, end, 100), floor) << "end";
}

// ---- The job, as tagmend writes it ------------------------------------------

class Job {
 public:
  Job(const std::string& input, const std::string& output, int32_t rate = 0) {
    name_ = "MY_TONECAST_MM_e2e" + std::to_string(platform::currentThreadId()) + "_" +
            std::to_string(++counter_);
    memory_ = platform::createSharedMemory(name_.c_str(), kJobSize);
    EXPECT_TRUE(memory_ && memory_->view());
    job_ = static_cast<ConversionJob*>(memory_->view());
    std::strncpy(job_->inputPath, input.c_str(), kJobPathChars);
    std::strncpy(job_->outputPath, output.c_str(), kJobPathChars);
    std::memcpy(job_->formatName, "mp3", 4);
    job_->codecId = kJobCodecMp3;
    job_->bitRate = kJobBitRate;
    job_->sampleRate = kJobSampleRate;
    job_->infoWord = rate;
    job_->infoPair[0] = 1;
    job_->infoPair[1] = 16;
  }
  ConversionJob* operator->() { return job_; }
  const std::string& name() const { return name_; }
  // tonecast.exe as tagmend starts it: its own path, then the name.
  RunResult runConverter() { return run({binDir() + "/tonecast.exe", name_}); }

 private:
  static inline int counter_ = 0;
  std::string name_;
  std::unique_ptr<platform::SharedMemory> memory_;
  ConversionJob* job_ = nullptr;
};

// ---- tonecast.exe alone --------------------------------------------------------

class TonecastAlone : public ::testing::TestWithParam<Input> {};

TEST_P(TonecastAlone, WritesTheTimelineAsMp3) {
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const Input& in = GetParam();
  TempDir dir;
  const Prepared p = prepare(in, dir);
  Job job(p.input, dir.file("out.mp3"));
  EXPECT_EQ(job->progress, 0.0);
  RunResult r = job.runConverter();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(job->progress, 1.0);
  checkMp3(dir.file("out.mp3"), p, in, dir);
  for (const std::string& name : listDir(dir.path())) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

const Input kInputs[] = {
    {"Pcm8MonoAt5512WithVideoAndGap", "-c:a pcm_u8 -ar 5512 -ac 1", true, true, false},
    {"Pcm8StereoAt11025", "-c:a pcm_u8 -ar 11025 -ac 2", false, false, false},
    {"Pcm16MonoAt22050WithVideo", "-c:a pcm_s16le -ar 22050 -ac 1", true, false, true},
    {"Pcm16StereoAt44100WithGap", "-c:a pcm_s16le -ar 44100 -ac 2", false, true, true},
    {"Nellymoser8kWithVideoAndGap", "-c:a nellymoser -ar 8000 -ac 1", true, true, false},
    {"NellymoserAt11025", "-c:a nellymoser -ar 11025 -ac 1", false, false, false},
    {"NellymoserAt22050WithVideoAndGap", "-c:a nellymoser -ar 22050 -ac 1", true, true, false},
    {"NellymoserAt44100WithGap", "-c:a nellymoser -ar 44100 -ac 1", false, true, false},
};

INSTANTIATE_TEST_SUITE_P(Inputs, TonecastAlone, ::testing::ValuesIn(kInputs),
                         [](const auto& info) { return info.param.name; });

// A microphone muted for three minutes: the silence is written as copies
// of one frame, which the audio after it must follow to the sample.
const Input kMutedInputs[] = {
    {"Pcm8MonoAt5512", "-c:a pcm_u8 -ar 5512 -ac 1", false, true, false, 180000},
    {"Pcm16StereoAt44100", "-c:a pcm_s16le -ar 44100 -ac 2", false, true, true, 180000},
    {"NellymoserAt22050", "-c:a nellymoser -ar 22050 -ac 1", false, true, false, 180000},
};

INSTANTIATE_TEST_SUITE_P(Muted, TonecastAlone, ::testing::ValuesIn(kMutedInputs),
                         [](const auto& info) { return info.param.name; });

// The power of a frequency in s[from, to), by Goertzel's recurrence.
double powerAt(const std::vector<float>& s, size_t from, size_t to, double hz) {
  const double k = 2 * std::cos(2 * std::numbers::pi * hz / kRate);
  double a = 0, b = 0;
  for (size_t i = from; i < to && i < s.size(); ++i) {
    const double c = s[i] + k * a - b;
    b = a;
    a = c;
  }
  return (a * a + b * b - k * a * b) / static_cast<double>(to - from);
}

// The audio tags of an FLV that ffmpeg made, stamped from startMs on.
std::vector<Tag> audioTags(const std::string& path, uint32_t startMs, uint32_t* endMs) {
  const Flv f = readFlv(path);
  EXPECT_TRUE(f.ok) << f.problem;
  std::vector<Tag> tags;
  for (const Tag& t : f.tags) {
    if (t.type != 8) continue;
    tags.push_back(t);
    tags.back().timestamp += startMs;
    *endMs = tags.back().timestamp;
  }
  return tags;
}

TEST(TonecastStreams, RatesAndChannelsThatChangeKeepPitchAndStereo) {
  // 40 ms of mono at 5512 Hz first, then 2 s of stereo at 44.1 kHz (a 10 kHz
  // tone on the left, silence on the right), then 1 s at 11.025 kHz and 1 s
  // at 22.05 kHz: the rate changes three times, the last two while the
  // resampler stands between two samples. Nothing may fold the tone (at
  // 5512 Hz it would come out at 1024 Hz), nor make the stereo mono.
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  makeWithFfmpeg(dir.file("a.flv"), "-f lavfi -i sine=frequency=300:sample_rate=5512 -t 0.04 -c:a pcm_u8 -ar 5512 -ac 1");
  makeWithFfmpeg(dir.file("b.flv"),
                 "-f lavfi -i sine=frequency=10000:sample_rate=44100 -t 2 "
                 "-af pan=stereo|c0=c0|c1=0*c0 -c:a pcm_s16le -ar 44100 -ac 2");
  makeWithFfmpeg(dir.file("c.flv"), "-f lavfi -i sine=frequency=500:sample_rate=11025 -t 1 -c:a pcm_s16le -ar 11025 -ac 1");
  makeWithFfmpeg(dir.file("d.flv"), "-f lavfi -i sine=frequency=700:sample_rate=22050 -t 1 -c:a pcm_s16le -ar 22050 -ac 1");
  Flv spliced;
  uint32_t end = 0;
  for (const char* part : {"a.flv", "b.flv", "c.flv", "d.flv"}) {
    const std::vector<Tag> tags = audioTags(dir.file(part), end == 0 ? 0 : end + 20, &end);
    spliced.tags.insert(spliced.tags.end(), tags.begin(), tags.end());
  }
  spliced.flags = 0x04;
  writeFlv(dir.file("in.flv"), spliced);
  Job job(dir.file("in.flv"), dir.file("out.mp3"));
  RunResult r = job.runConverter();
  ASSERT_EQ(r.exitCode, 0) << r.err;
  RunResult probe = run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=channels",
                         "-of", "csv=p=0", dir.file("out.mp3")});
  EXPECT_EQ(probe.out.substr(0, 1), "2");
  const std::vector<float> both = decodeAudio(dir.file("out.mp3"), dir, 2);
  std::vector<float> left, right;
  for (size_t i = 0; i + 1 < both.size(); i += 2) {
    left.push_back(both[i]);
    right.push_back(both[i + 1]);
  }
  EXPECT_NEAR(static_cast<double>(left.size()), 4.04 * kRate, kMp3Frame);
  const size_t from = kRate / 2, to = kRate * 3 / 2;  // inside the 44.1 kHz part
  const double tone = powerAt(left, from, to, 10000), alias = powerAt(left, from, to, 1024);
  EXPECT_GT(tone, 1000 * alias);
  EXPECT_GT(tone, 1000 * powerAt(right, from, to, 10000));
  // The two lower rates keep their pitch and place.
  EXPECT_GT(powerAt(left, kRate * 2 + kRate / 4, kRate * 3 - kRate / 4, 500),
            100 * powerAt(left, kRate * 2 + kRate / 4, kRate * 3 - kRate / 4, 700));
  EXPECT_GT(powerAt(left, kRate * 3 + kRate / 4, kRate * 4 - kRate / 4, 700),
            100 * powerAt(left, kRate * 3 + kRate / 4, kRate * 4 - kRate / 4, 500));
}

TEST(TonecastStreams, NellymoserAudioSitsWherePcmAudioDoes) {
  // The same beeps as PCM (at 22.05 kHz, a rate that FLV's PCM has) and as
  // Nellymoser, each converted: the beeps must
  // land on the same samples (libavcodec's decoder alone would put the
  // Nellymoser ones 128 source samples late).
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  for (const int rate : {8000, 22050}) {
    std::vector<float> decoded[2];
    for (const bool nellymoser : {false, true}) {
      const std::string name = nellymoser ? "nelly.flv" : "pcm.flv";
      makeWithFfmpeg(dir.file(name), "-f lavfi -i aevalsrc='if(lt(mod(t\\,0.5)\\,0.05)\\,0.8*sin(2*PI*1000*t)\\,0)':s=" +
                                         std::to_string(rate) + " -t 3 -ac 1 " +
                                         (nellymoser ? "-ar " + std::to_string(rate) + " -c:a nellymoser"
                                                     : std::string("-ar 22050 -c:a pcm_s16le")));
      Job job(dir.file(name), dir.file("out.mp3"));
      ASSERT_EQ(job.runConverter().exitCode, 0);
      decoded[nellymoser] = decodeAudio(dir.file("out.mp3"), dir);
    }
    // The lag at which the Nellymoser MP3 best matches the PCM one.
    int best = 0;
    double bestMatch = -1;
    for (int lag = -400; lag <= 400; ++lag) {
      double sab = 0, saa = 0, sbb = 0;
      for (size_t i = kRate / 4; i < size_t{kRate} * 5 / 2; ++i) {
        const float a = decoded[0][i], b = decoded[1][static_cast<size_t>(static_cast<long>(i) + lag)];
        sab += a * b, saa += a * a, sbb += b * b;
      }
      const double c = sab / std::sqrt(saa * sbb);
      if (c > bestMatch) bestMatch = c, best = lag;
    }
    std::cout << "[ sync     ] Nellymoser at " << rate << " Hz against PCM: " << best << " samples at 44.1 kHz\n";
    EXPECT_GT(bestMatch, 0.8) << rate;
    EXPECT_LE(std::abs(best), 6) << rate;
    // Both as long as their audio: the Nellymoser blocks hold 3 s and up to
    // a block more.
    EXPECT_NEAR(static_cast<double>(decoded[1].size()), static_cast<double>(decoded[0].size()),
                256.0 * kRate / rate + kMp3Frame) << rate;
  }
}

TEST(TonecastFailures, EveryFailureExitsNonZeroSilentlyAndLeavesNoFile) {
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  const Prepared p = prepare(kInputs[0], dir);
  const std::vector<std::string> before = listDir(dir.path());

  RunResult noJob = run({binDir() + "/tonecast.exe", "MY_TONECAST_MM_no_such_job"});
  EXPECT_NE(noJob.exitCode, 0);
  RunResult noArgument = run({binDir() + "/tonecast.exe"});
  EXPECT_NE(noArgument.exitCode, 0);

  Job missing(dir.file("missing.flv"), dir.file("a.mp3"));
  RunResult r = missing.runConverter();
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(missing->progress, 0.0);  // it had started

  Job self(p.input, p.input);
  EXPECT_NE(self.runConverter().exitCode, 0);

  Job otherFormat(p.input, dir.file("b.mp3"));
  std::memcpy(otherFormat->formatName, "ogg", 4);
  EXPECT_NE(otherFormat.runConverter().exitCode, 0);

  for (const RunResult& each : {noJob, noArgument, r}) {
    EXPECT_EQ(each.out, "");
    EXPECT_EQ(each.err, "");
  }
  EXPECT_EQ(listDir(dir.path()), before);  // nothing written, input untouched
  EXPECT_EQ(readFlv(p.input).tags.size(), p.flv.tags.size());

  // Audio it cannot decode (AAC) in the middle of PCM.
  Flv mixed = p.flv;
  for (Tag& t : mixed.tags) {
    if (t.type == 8 && t.data.size() > 1) {
      t.data = {0xAF, 0x01, 0x21, 0x10};
      break;
    }
  }
  writeFlv(dir.file("mixed.flv"), mixed);
  Job aac(dir.file("mixed.flv"), dir.file("c.mp3"));
  EXPECT_NE(aac.runConverter().exitCode, 0);
  EXPECT_FALSE(fileExists(dir.file("c.mp3")));
}

// ---- The whole chain under tagmend ------------------------------------------------

// Where the audio says the last video tag belongs: its stored time moved by
// the shift of the latest audio tag before it (the first audio tag's for the
// video before it), that tag's position being the length of the audio (and
// closed gaps) before it; never before the video tag before it, nor below 0.
double expectedLastVideoMs(const Flv& f) {
  static const int kRates[4] = {5512, 11025, 22050, 44100};
  double position = audioStartMs(f), drift = 0;
  bool inGap = false;
  uint32_t gapStart = 0;
  double lastVideo = 0;
  for (const Tag& t : f.tags) {
    if (t.type == 8) {
      drift = position - static_cast<double>(t.timestamp);
      break;
    }
  }
  for (const Tag& t : f.tags) {
    if (t.type == 9) lastVideo = std::max(lastVideo, t.timestamp + drift);
    if (t.type != 8) continue;
    const size_t payload = t.data.empty() ? 0 : t.data.size() - 1;
    if (payload == 0) {
      if (!inGap) {
        gapStart = t.timestamp;
        drift = position - t.timestamp;
      }
      inGap = true;
      continue;
    }
    if (inGap) position += std::max(0.0, static_cast<double>(t.timestamp) - gapStart);
    inGap = false;
    drift = position - t.timestamp;
    const uint8_t flags = t.data[0];
    const int format = flags >> 4;
    if (format == 0 || format == 3) {
      const size_t frameBytes = size_t{(flags & 2) ? 2u : 1u} * ((flags & 1) ? 2 : 1);
      position += 1000.0 * static_cast<double>(payload / frameBytes) / kRates[(flags >> 2) & 3];
    } else {
      const int rate = format == 5 ? 8000 : format == 4 ? 16000 : kRates[(flags >> 2) & 3];
      position += 1000.0 * static_cast<double>(payload / 64 * 256) / rate;
    }
  }
  return lastVideo;
}

// The video of a repair as players need it: flvmeta finds no error (no
// decreasing timestamps) and ffprobe sees no video dts go back.
void expectPlayableVideo(const std::string& flv) {
  EXPECT_EQ(videoDtsStepsBack(flv), "");
  if (haveTool("flvmeta")) {
    FlvmetaCheck check = flvmetaCheck(flv);
    EXPECT_EQ(check.errors, 0) << check.json;
  }
}

class TagmendChain : public ::testing::TestWithParam<Input> {};

TEST_P(TagmendChain, WritesTheMp3AndVideoThatFollowsIt) {
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const Input& in = GetParam();
  TempDir dir;
  const Prepared p = prepare(in, dir);
  RunResult r = tagmend(p.input, dir.file("out"));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  checkMp3(dir.file("out.mp3"), p, in, dir);
  if (!in.video) {
    EXPECT_FALSE(fileExists(dir.file("out.flv")));
    return;
  }
  const Flv out = readFlv(dir.file("out.flv"));
  ASSERT_TRUE(out.ok) << out.problem;
  const std::vector<const Tag*> video = tagsOfType(out, 9);
  ASSERT_FALSE(video.empty());
  // One MP3 frame of leeway: the PCM re-timer spreads the MP3's measured
  // length, which LAME's resampler may leave a sample or two off.
  EXPECT_NEAR(video.back()->timestamp, expectedLastVideoMs(p.flv), 27.0);
  expectPlayableVideo(dir.file("out.flv"));
}

INSTANTIATE_TEST_SUITE_P(Inputs, TagmendChain, ::testing::ValuesIn(kInputs),
                         [](const auto& info) { return info.param.name; });

// H.264 with B-frames: ffmpeg writes video tags before the first audio tag.
const Input kH264Inputs[] = {
    {"Pcm8StereoAt44100WithH264", "-c:a pcm_u8 -ar 44100 -ac 2", true, false, false, 0,
     "-c:v libx264 -preset veryfast -pix_fmt yuv420p"},
    {"NellymoserAt11025WithH264AndGap", "-c:a nellymoser -ar 11025 -ac 1", true, true, false, 0,
     "-c:v libx264 -preset veryfast -pix_fmt yuv420p"},
};

INSTANTIATE_TEST_SUITE_P(H264, TagmendChain, ::testing::ValuesIn(kH264Inputs),
                         [](const auto& info) { return info.param.name; });

TEST(TagmendChainMuted, AMicrophoneMutedFor61MinutesKeepsItsSilence) {
  // A gap over the hour that an earlier limit refused: the MP3 holds it
  // (as copied frames, written in seconds), and the video follows.
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const Input in{"Pcm16MonoAt22050WithVideo", "-c:a pcm_s16le -ar 22050 -ac 1", true, true, true, 61 * 60 * 1000};
  TempDir dir;
  const Prepared p = prepare(in, dir);
  RunResult r = tagmend(p.input, dir.file("out"));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  RunResult probe = run({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                         dir.file("out.mp3")});
  ASSERT_EQ(probe.exitCode, 0) << probe.err;
  // ffprobe counts the frames, LAME's delay and padding (two frames) too.
  EXPECT_NEAR(std::stod(probe.out), timelineSeconds(p.flv) + 0.025, 0.03);
  const Flv out = readFlv(dir.file("out.flv"));
  ASSERT_TRUE(out.ok) << out.problem;
  const std::vector<const Tag*> video = tagsOfType(out, 9);
  ASSERT_FALSE(video.empty());
  EXPECT_NEAR(video.back()->timestamp, expectedLastVideoMs(p.flv), 27.0);
}

TEST(TagmendChainMuted, AGapThatCannotBeRealIsRefused) {
  // The tag that closes the gap stamped 10 ms below zero (0xFFFFFFF6): a
  // gap of 49.7 days, longer than the file's own 4 s. Nothing is written.
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  for (const Input& in : {kInputs[0], kInputs[4]}) {
    TempDir dir;
    Prepared p = prepare(in, dir);
    for (Tag& t : p.flv.tags) {
      if (t.type == 8 && t.timestamp == p.cut.closeMs) {
        t.timestamp = 0xFFFFFFF6u;
        break;
      }
    }
    writeFlv(p.input, p.flv);
    RunResult r = tagmend(p.input, dir.file("out"));
    EXPECT_EQ(r.exitCode, isNellymoser(in) ? 6 : 5) << in.name;
    EXPECT_EQ(r.out, "FLV fixing...\n") << in.name;
    EXPECT_FALSE(fileExists(dir.file("out.mp3"))) << in.name;
    EXPECT_FALSE(fileExists(dir.file("out.flv"))) << in.name;
  }
}

// ---- A/V sync ---------------------------------------------------------------------

// The audio stream's start time in a media file, by ffprobe.
double audioStart(const std::string& path) {
  RunResult r = run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                     "stream=start_time", "-of", "csv=p=0", path});
  return r.exitCode == 0 && !r.out.empty() && r.out[0] != 'N' ? std::stod(r.out) : 0.0;
}

// Beeps: the first loud sample after at least 0.3 s of quiet.
std::vector<double> decodedBeepTimes(const std::string& path, const TempDir& dir) {
  const std::vector<float> s = decodeAudio(path, dir);
  const double start = audioStart(path);
  std::vector<double> times;
  size_t quiet = kRate;
  for (size_t i = 0; i < s.size(); ++i) {
    if (std::fabs(s[i]) > 0.2f) {
      if (quiet >= static_cast<size_t>(kRate * 0.3)) times.push_back(start + static_cast<double>(i) / kRate);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return times;
}

// Every tag stamped by a recorder clock running 3 % fast; audio after the
// first audio tag with up to ±jitterMs of jitter besides.
void recordWithFastClock(Flv& f, int jitterMs = 4) {
  uint32_t state = 12345;
  bool firstAudio = true;
  for (Tag& t : f.tags) {
    if (t.type != 8 && t.type != 9) continue;
    double ms = t.timestamp * 1.03;
    const bool jittered = t.type == 8 && !firstAudio && t.timestamp > 0;
    if (t.type == 8) firstAudio = false;
    if (jittered) {
      state = state * 1664525u + 1013904223u;
      ms += static_cast<double>((state >> 8) % (2 * jitterMs + 1)) - jitterMs;
    }
    t.timestamp = static_cast<uint32_t>(std::lround(std::max(ms, 0.0)));
  }
}

class AvSync : public ::testing::TestWithParam<Input> {};

TEST_P(AvSync, EveryFlashLandsWithinAFrameOfItsBeep) {
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const Input& in = GetParam();
  TempDir dir;
  makeWithFfmpeg(dir.file("original.flv"),
                 "-f lavfi -i color=black:size=160x120:rate=25,"
                 "drawbox=x=0:y=0:w=160:h=120:color=white:t=fill:enable='lt(mod(t\\,1)\\,0.04)' "
                 "-f lavfi -i aevalsrc='if(lt(mod(t\\,1)\\,0.05)\\,0.8*sin(2*PI*1000*t)\\,0)':s=44100 "
                 "-t 12 -c:v flv -q:v 5 " + in.audioArgs);
  Flv f = readFlv(dir.file("original.flv"));
  ASSERT_TRUE(f.ok) << f.problem;
  if (in.littleEndianToPlatform) setSoundFormat(f, 0);
  recordWithFastClock(f);
  writeFlv(dir.file("recorded.flv"), f);
  const double before = worstDistance(flashTimes(dir.file("recorded.flv"), dir),
                                    decodedBeepTimes(dir.file("recorded.flv"), dir));

  RunResult r = tagmend(dir.file("recorded.flv"), dir.file("out"));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  expectPlayableVideo(dir.file("out.flv"));
  RunResult mux = run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i",
                       dir.file("out.flv"), "-i", dir.file("out.mp3"), "-map", "0:v", "-map",
                       "1:a", "-c", "copy", dir.file("muxed.mkv")});
  ASSERT_EQ(mux.exitCode, 0) << mux.err;
  const std::vector<double> flashes = flashTimes(dir.file("muxed.mkv"), dir);
  const std::vector<double> beeps = decodedBeepTimes(dir.file("muxed.mkv"), dir);
  EXPECT_EQ(flashes.size(), 12u);
  EXPECT_EQ(beeps.size(), 12u);
  const double after = worstDistance(flashes, beeps);
  std::cout << "[ sync     ] " << in.name << ": worst flash-to-beep offset " << before * 1000
            << " ms before, " << after * 1000 << " ms after\n";
  EXPECT_GT(before, 0.2);  // the damage is real
  EXPECT_LE(after, 0.040);  // one frame at 25 fps
}

const Input kSyncInputs[] = {
    {"Pcm16", "-c:a pcm_s16le -ar 22050 -ac 1", true, false, true},
    {"Nellymoser", "-c:a nellymoser -ar 22050 -ac 1", true, false, false},
};

INSTANTIATE_TEST_SUITE_P(Inputs, AvSync, ::testing::ValuesIn(kSyncInputs),
                         [](const auto& info) { return info.param.name; });

// Audio lost while the camera went on (a recorder that dropped it, a
// microphone below its silence level): the audio tags stored in [fromMs,
// toMs) are gone, nothing marks the hole. The repair keeps it: the picture
// keeps every frame at its pace, and the beeps after the hole land with
// their flashes. The MP3 repair's output is decoded by its stamps (ffmpeg
// fills the hole with silence), the others' MP3 as the converter wrote it.
// H.264 with B-frames, with or without a hole: no picture is shown out of
// the order the input shows it in, and flashes still land on their beeps.
struct Hole {
  std::string name;
  std::string audioArgs;
  bool littleEndianToPlatform;
  uint32_t fromMs, toMs;  // equal: no hole
  double toleranceSeconds;
  int jitterMs = 4;
  const char* videoArgs = "-c:v flv -q:v 5";
};

std::ostream& operator<<(std::ostream& os, const Hole& h) { return os << h.name; }

class HoleSync : public ::testing::TestWithParam<Hole> {};

std::vector<uint32_t> videoStamps(const Flv& f) {
  std::vector<uint32_t> stamps;
  for (const Tag* t : tagsOfType(f, 9)) stamps.push_back(t->timestamp);
  return stamps;
}

TEST_P(HoleSync, ThePictureKeepsItsFramesAndTheSoundAfterTheHoleItsPlace) {
  if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const Hole& h = GetParam();
  TempDir dir;
  makeWithFfmpeg(dir.file("original.flv"),
                 "-f lavfi -i color=black:size=160x120:rate=25,"
                 "drawbox=x=0:y=0:w=160:h=120:color=white:t=fill:enable='lt(mod(t\\,1)\\,0.04)' "
                 "-f lavfi -i aevalsrc='if(lt(mod(t\\,1)\\,0.05)\\,0.8*sin(2*PI*1000*t)\\,0)':s=44100 "
                 "-t 20 " + std::string(h.videoArgs) + " " + h.audioArgs);
  Flv f = readFlv(dir.file("original.flv"));
  ASSERT_TRUE(f.ok) << f.problem;
  if (h.littleEndianToPlatform) setSoundFormat(f, 0);
  std::erase_if(f.tags, [&](const Tag& t) { return t.type == 8 && t.timestamp >= h.fromMs && t.timestamp < h.toMs; });
  recordWithFastClock(f, h.jitterMs);
  writeFlv(dir.file("recorded.flv"), f);

  RunResult r = tagmend(dir.file("recorded.flv"), dir.file("out"));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  expectPlayableVideo(dir.file("out.flv"));
  EXPECT_EQ(framesShownOutOfOrder(f, readFlv(dir.file("out.flv"))), 0);
  // Every frame keeps a time of its own, and the picture its length: 20 s
  // of content, not 15 (the sound at its real length, the hole at its
  // stamped one, which the recorder's clock ran 3 % fast through).
  const std::vector<uint32_t> before = videoStamps(f);
  const std::vector<uint32_t> after = videoStamps(readFlv(dir.file("out.flv")));
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 1; i < after.size(); ++i) {
    if (before[i] != before[i - 1]) {
      ASSERT_GT(after[i], after[i - 1]) << "video tag " << i;
    }
  }
  EXPECT_NEAR(after.back() - after.front(), 19960, 200);

  const std::string audio = fileExists(dir.file("out.mp3")) ? dir.file("out.mp3") : dir.file("out.flv");
  RunResult mux = run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", dir.file("out.flv"), "-i", audio,
                       "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-af", "aresample=async=1:first_pts=0",
                       "-c:a", "pcm_s16le", dir.file("muxed.mkv")});
  ASSERT_EQ(mux.exitCode, 0) << mux.err;
  const std::vector<double> flashes = flashTimes(dir.file("muxed.mkv"), dir);
  const std::vector<double> beeps = decodedBeepTimes(dir.file("muxed.mkv"), dir);
  EXPECT_EQ(flashes.size(), 20u);
  // Each beep that is left lands with its flash; the flashes in the hole
  // have none.
  const size_t lost = h.toMs == h.fromMs ? 0 : (h.toMs - 1) / 1000 - (h.fromMs + 999) / 1000 + 1;
  EXPECT_GE(beeps.size(), 20 - lost - 1);
  double worst = 0;
  for (double b : beeps) {
    double nearest = 1e9;
    for (double fl : flashes) nearest = std::min(nearest, std::fabs(fl - b));
    worst = std::max(worst, nearest);
  }
  std::cout << "[ sync     ] " << h.name << ": worst beep-to-flash offset " << worst * 1000 << " ms\n";
  EXPECT_LE(worst, h.toleranceSeconds);
}

const Hole kHoles[] = {
    {"Mp3FiveSecondsInTheMiddle", "-c:a libmp3lame -ar 44100", false, 8000, 13000, 0.020},
    {"Mp3HalfASecondAt22kHz", "-c:a libmp3lame -ar 22050", false, 8000, 8500, 0.020},
    {"Pcm16ThreeSecondsAtTheStart", "-c:a pcm_s16le -ar 22050 -ac 1", true, 0, 3000, 0.020},
    {"NellymoserFiveSecondsInTheMiddle", "-c:a nellymoser -ar 22050 -ac 1", false, 8000, 13000, 0.020},
    {"H264BFramesMp3Jitter40", "-c:a libmp3lame -ar 44100", false, 0, 0, 0.020, 40, "-c:v libx264 -bf 2"},
    {"H264BFramesMp3HoleJitter15", "-c:a libmp3lame -ar 44100", false, 8000, 13000, 0.020, 15, "-c:v libx264 -bf 2"},
};

INSTANTIATE_TEST_SUITE_P(Inputs, HoleSync, ::testing::ValuesIn(kHoles),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
