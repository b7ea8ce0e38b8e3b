// The 64-bit Windows build run under Wine as a Windows user runs it: each
// test puts tagmend.exe, Tarvel.dll and Quennet.dll (and, where the test
// wants one, the build's own tonecast.exe or the stand-in converter in its
// place) in a folder of their own, runs the program on FLVs made by ffmpeg,
// and checks exit code, output and files on Linux, with the readers of
// tests/support, ffprobe and flvmeta, and against what the Linux build
// writes for the same input.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

#include "extract/conversion_job.h"
#include "tests/support/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Windows writes its console lines with CR LF.
const std::string kWinBanner = "FLV fixing...\r\n";
const std::string kWinUsage = "Usage: tagmend [--aac] [--speex] [--] flvPathIn flvPathOutPrefix\r\n";

// The Linux path as Wine's drive Z: (the root folder) shows it.
std::string winPath(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// The MP3 the stand-in converter hands back: 1 s at the rate and bit rate
// that the job asks for.
std::string makeMp3(const TempDir& dir) {
  return makeWithFfmpeg(dir.file("converted.mp3"),
                        "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 1 -c:a libmp3lame -b:a 128k");
}

class WineTagmend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg") || !haveTool("ffprobe") || !haveTool("flvmeta"))
      GTEST_SKIP() << "ffmpeg, ffprobe or flvmeta missing";
    ASSERT_TRUE(fs::exists(std::string(TAGMEND_WINDOWS_BIN) + "/tagmend.exe"))
        << "no Windows build in " << TAGMEND_WINDOWS_BIN;
  }

  // Copies the program and its two libraries into dir, with the stand-in
  // converter as tonecast.exe when withConverter; returns the program path.
  std::string install(const std::string& dir, bool withConverter) {
    fs::create_directories(dir);
    const fs::path bin(TAGMEND_WINDOWS_BIN);
    for (const char* f : {"tagmend.exe", "Tarvel.dll", "Quennet.dll"})
      fs::copy_file(bin / f, fs::path(dir) / f, fs::copy_options::overwrite_existing);
    if (withConverter)
      fs::copy_file(bin / "fake_tonecast.exe", fs::path(dir) / "tonecast.exe",
                    fs::copy_options::overwrite_existing);
    return dir + "/tagmend.exe";
  }

  // The program with the build's own converter beside it.
  std::string installWithConverter(const std::string& dir) {
    std::string exe = install(dir, false);
    fs::copy_file(fs::path(TAGMEND_WINDOWS_BIN) / "tonecast.exe", fs::path(dir) / "tonecast.exe",
                  fs::copy_options::overwrite_existing);
    return exe;
  }

  // Runs the program under Wine (through the launcher that CTest uses for
  // the Windows build) with Windows paths as given; the stand-in converter
  // reads its instructions from env.
  RunResult wine(const std::string& exe, const std::vector<std::string>& args,
                 const std::string& cwd, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {TAGMEND_WINE_RUN, TAGMEND_WINEPREFIX, winPath(exe)};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r;
    for (int attempt = 0; attempt < 2; ++attempt) {
      r = run(argv, cwd.empty() ? dir_.path() : cwd, env);
      // tagmend prints its banner before anything else: a run that ends with
      // 1 having printed nothing never reached it (Wine failed to start the
      // program while its server was going away), and is made once more.
      if (r.exitCode != 1 || !r.out.empty()) break;
    }
    return r;
  }

  // A 2 s clip from ffmpeg's test sources with the given codec options.
  std::string makeClip(const std::string& path, const std::string& codecs, int sampleRate = 22050) {
    fs::create_directories(fs::path(path).parent_path());
    return makeWithFfmpeg(path,
        "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=" +
        std::to_string(sampleRate) + " -t 2 " + codecs + " -fflags +bitexact -f flv");
  }

  // The environment that has the stand-in converter dump its job into
  // dump/ and hand back the prepared MP3.
  std::vector<std::string> converterEnv(const std::string& dump, const std::string& mp3,
                                        int exitCode = 0) {
    fs::create_directories(dump);
    return {"TAGMEND_FAKE_DUMP=" + winPath(dump), "TAGMEND_FAKE_MP3=" + winPath(mp3),
            "TAGMEND_FAKE_EXIT=" + std::to_string(exitCode)};
  }

  // A video-only output FLV: whole, no audio, every input video tag kept in
  // order with its payload, a fresh onMetaData, and accepted by the tools.
  static void expectVideoOnly(const std::string& inPath, const std::string& outPath) {
    Flv in = readFlv(inPath);
    Flv out = readFlv(outPath);
    ASSERT_TRUE(out.ok) << out.problem;
    EXPECT_TRUE(tagsOfType(out, 8).empty());
    auto inVideo = tagsOfType(in, 9);
    auto outVideo = tagsOfType(out, 9);
    ASSERT_EQ(outVideo.size(), inVideo.size());
    for (size_t i = 0; i < inVideo.size(); ++i) EXPECT_EQ(outVideo[i]->data, inVideo[i]->data) << i;
    ASSERT_FALSE(out.tags.empty());
    EXPECT_TRUE(parseOnMetaData(out.tags[0]).ok);
    std::string errors;
    EXPECT_TRUE(ffprobeReads(outPath, &errors)) << errors;
    EXPECT_EQ(flvmetaCheck(outPath).errors, 0);
  }

  TempDir dir_;
};

TEST_F(WineTagmend, WrongArgumentCountPrintsBannerThenUsage) {
  std::string exe = install(dir_.file("app"), false);
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"a.flv"}, {"a", "b", "c"}}) {
    RunResult r = wine(exe, args, "");
    EXPECT_EQ(r.exitCode, 1) << args.size() << " arguments";
    EXPECT_EQ(r.out, kWinBanner + kWinUsage);
  }
}

// One run per kind of input that is refused or needs no repair, the
// converter beside the program: only the banner, the branch's exit code, and
// no file written.
TEST_F(WineTagmend, ExitCodesOfInputsThatGetNoRepair) {
  std::string exe = installWithConverter(dir_.file("app"));
  fs::create_directories(dir_.file("in"));
  writeBytes(dir_.file("in/text.flv"), {'h', 'e', 'l', 'l', 'o'});
  const struct {
    std::string input;
    int exitCode;
  } cases[] = {
      {dir_.file("in/missing.flv"), 2},
      {dir_.file("in/text.flv"), 3},
      {makeClip(dir_.file("in/silent.flv"), "-c:v flv -an"), 7},
      {makeClip(dir_.file("in/mp3-only.flv"), "-vn -c:a libmp3lame"), 0},
      {makeClip(dir_.file("in/adpcm.flv"), "-c:v flv -c:a adpcm_swf"), 0},
      {makeClip(dir_.file("in/pcm-le.flv"), "-c:v flv -c:a pcm_s16le"), 0},
  };
  for (const auto& c : cases) {
    fs::create_directories(dir_.file("out"));
    RunResult r = wine(exe, {winPath(c.input), winPath(dir_.file("out/x"))}, "");
    EXPECT_EQ(r.exitCode, c.exitCode) << c.input;
    EXPECT_EQ(r.out, kWinBanner) << c.input;
    EXPECT_EQ(listDir(dir_.file("out")), std::vector<std::string>{}) << c.input;
  }
}

// The MP3 repair: the output is whole, its audio follows the MP3 clock, its
// metadata is fresh, and its tags are those the Linux build writes for the
// same input. (The files differ only in the metadata's padding: Linux
// inserts blocks in front of the file, Windows writes a copy and renames it.)
TEST_F(WineTagmend, Mp3RepairWritesTheTagsTheLinuxBuildWrites) {
  std::string exe = install(dir_.file("app"), false);
  std::string in = makeClip(dir_.file("in.flv"), "-c:v flv -c:a libmp3lame -ar 22050");
  RunResult r = wine(exe, {winPath(in), winPath(dir_.file("win"))}, "");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kWinBanner);

  Flv out = readFlv(dir_.file("win.flv"));
  ASSERT_TRUE(out.ok) << out.problem;
  Metadata meta = parseOnMetaData(out.tags.at(0));
  ASSERT_TRUE(meta.ok);
  EXPECT_EQ(meta.numbers["audiocodecid"], 2);
  EXPECT_NEAR(meta.numbers["duration"], 2.0, 0.3);
  int64_t clock = 0;
  for (const Tag* t : tagsOfType(out, 8)) {
    EXPECT_EQ(t->timestamp, static_cast<uint32_t>(clock / 10000));
    clock += mp3PayloadTicks(audioPayload(*t));
  }
  EXPECT_EQ(tagsOfType(out, 9).size(), tagsOfType(readFlv(in), 9).size());
  std::string errors;
  EXPECT_TRUE(ffprobeReads(dir_.file("win.flv"), &errors)) << errors;
  EXPECT_EQ(flvmetaCheck(dir_.file("win.flv")).errors, 0);

  if (!fs::exists(tagmendPath())) GTEST_SKIP() << "no Linux build to compare with";
  RunResult linux = tagmend(in, dir_.file("linux"));
  ASSERT_EQ(linux.exitCode, 0);
  Flv same = readFlv(dir_.file("linux.flv"));
  ASSERT_TRUE(same.ok);
  ASSERT_EQ(same.tags.size(), out.tags.size());
  for (size_t i = 1; i < out.tags.size(); ++i) {
    EXPECT_EQ(out.tags[i].type, same.tags[i].type) << i;
    EXPECT_EQ(out.tags[i].timestamp, same.tags[i].timestamp) << i;
    EXPECT_EQ(out.tags[i].data, same.tags[i].data) << i;
  }
  Metadata linuxMeta = parseOnMetaData(same.tags[0]);
  for (const char* key : {"duration", "audiocodecid", "videocodecid", "audiosamplerate", "width", "height"})
    EXPECT_EQ(meta.numbers[key], linuxMeta.numbers[key]) << key;
  EXPECT_EQ(meta.keyframeTimes, linuxMeta.keyframeTimes);
}

// tagmend-batch.exe runs the tagmend.exe beside it on each file of a tree,
// its banner discarded: standard output holds the batch's own line alone.
// Run again, it finds everything done.
TEST_F(WineTagmend, BatchRepairsATreeWithTheTagmendBesideIt) {
  const fs::path bin(TAGMEND_WINDOWS_BIN);
  if (!fs::exists(bin / "tagmend-batch.exe")) GTEST_SKIP() << "no tagmend-batch.exe in " << TAGMEND_WINDOWS_BIN;
  std::string exe = installWithConverter(dir_.file("app"));
  fs::copy_file(bin / "tagmend-batch.exe", dir_.file("app/tagmend-batch.exe"));
  const std::string batch = dir_.file("app/tagmend-batch.exe");
  std::string mp3 = makeClip(dir_.file("in/a/rec.flv"), "-c:v flv -c:a libmp3lame -ar 22050");
  fs::create_directories(dir_.file("in/b"));
  fs::copy_file(mp3, dir_.file("in/b/rec.flv"));
  makeClip(dir_.file("in/c/clip.FLV"), "-c:v flv -c:a pcm_s16be", 11025);
  const std::string line = "; manifest " + winPath(dir_.file("out")) + "\\manifest.jsonl\r\n";

  RunResult r = wine(batch, {"-j", "2", winPath(dir_.file("in")), winPath(dir_.file("out"))}, "");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "tagmend-batch: 3 files: 3 repaired, 0 done before, 0 failed" + line);
  EXPECT_EQ(r.err, "");
  for (const char* out : {"out/a/rec.flv", "out/b/rec.flv", "out/c/clip.flv"}) {
    Flv f = readFlv(dir_.file(out));
    EXPECT_TRUE(f.ok) << out << ": " << f.problem;
  }
  EXPECT_TRUE(readBytes(dir_.file("out/a/rec.flv")) == readBytes(dir_.file("out/b/rec.flv")));
  EXPECT_GT(readBytes(dir_.file("out/c/clip.mp3")).size(), 1000u);

  r = wine(batch, {winPath(dir_.file("in")), winPath(dir_.file("out"))}, "");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "tagmend-batch: 3 files: 0 repaired, 3 done before, 0 failed" + line);
  (void)exe;
}

TEST_F(WineTagmend, Mp3RepairIntoMissingFolderExits4) {
  std::string exe = install(dir_.file("app"), false);
  std::string in = makeClip(dir_.file("in.flv"), "-c:v flv -c:a libmp3lame");
  RunResult r = wine(exe, {winPath(in), winPath(dir_.file("nowhere/out"))}, "");
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.out, kWinBanner);
  EXPECT_FALSE(fs::exists(dir_.file("nowhere")));
  // A DOS device name (NUL.flv is the NUL device) is no file to replace.
  r = wine(exe, {winPath(in), "NUL"}, "");
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.out, kWinBanner);
}

// The record as the converter finds it in shared memory, and the command
// line it is started with.
TEST_F(WineTagmend, PcmFlowHandsTheConverterItsJob) {
  std::string exe = install(dir_.file("app"), true);
  std::string in = makeClip(dir_.file("in.flv"), "-c:v flv -c:a pcm_s16be -ac 2", 22050);
  std::string prefix = winPath(dir_.file("out"));
  RunResult r = wine(exe, {winPath(in), prefix}, "",
                     converterEnv(dir_.file("dump"), makeMp3(dir_)));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kWinBanner);

  std::vector<uint8_t> bytes = readBytes(dir_.file("dump/job.bin"));
  ASSERT_EQ(bytes.size(), sizeof(ConversionJob));
  ConversionJob job;
  std::memcpy(&job, bytes.data(), sizeof job);
  EXPECT_EQ(std::string(job.inputPath), winPath(in));
  EXPECT_EQ(std::string(job.outputPath), prefix + ".mp3");
  EXPECT_EQ(job.inputPath[260], 0);
  EXPECT_EQ(job.outputPath[260], 0);
  EXPECT_EQ(job.reservedPair[0], 0);
  EXPECT_EQ(job.reservedPair[1], 0);
  EXPECT_EQ(job.infoPair[0], 2);   // channels
  EXPECT_EQ(job.infoPair[1], 16);  // bits per sample
  EXPECT_EQ(job.progress, 0.0);
  EXPECT_EQ(std::string(job.formatName), "mp3");
  EXPECT_EQ(job.codecId, 86017);
  EXPECT_EQ(job.bitRate, 128000);
  EXPECT_EQ(job.sampleRate, 44100);
  EXPECT_EQ(job.infoWord, 22050);

  // "<full path of tonecast.exe beside the program>" MY_TONECAST_MM_<thread id>
  std::vector<uint8_t> args = readBytes(dir_.file("dump/args.txt"));
  std::string argText(args.begin(), args.end());
  std::string converter = winPath(dir_.file("app/tonecast.exe"));
  ASSERT_EQ(argText.substr(0, converter.size() + 1), converter + "\n");
  std::string name = argText.substr(converter.size() + 1);
  ASSERT_GT(name.size(), std::strlen(kJobNamePrefix) + 1);
  EXPECT_EQ(name.substr(0, std::strlen(kJobNamePrefix)), kJobNamePrefix);
  std::string digits = name.substr(std::strlen(kJobNamePrefix));
  digits.pop_back();  // the newline
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
  EXPECT_NE(digits[0], '0');

  EXPECT_EQ(readBytes(dir_.file("out.mp3")), readBytes(dir_.file("converted.mp3")));
  expectVideoOnly(in, dir_.file("out.flv"));
}

TEST_F(WineTagmend, NellymoserFlowWritesTheMp3AndVideoOnlyFlv) {
  std::string exe = install(dir_.file("app"), true);
  std::string in = makeClip(dir_.file("in.flv"), "-c:v flv -c:a nellymoser", 22050);
  RunResult r = wine(exe, {winPath(in), winPath(dir_.file("out"))}, "",
                     converterEnv(dir_.file("dump"), makeMp3(dir_)));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<uint8_t> bytes = readBytes(dir_.file("dump/job.bin"));
  ASSERT_EQ(bytes.size(), sizeof(ConversionJob));
  ConversionJob job;
  std::memcpy(&job, bytes.data(), sizeof job);
  EXPECT_EQ(job.infoWord, 22050);
  EXPECT_EQ(job.infoPair[0], 1);
  EXPECT_TRUE(fs::exists(dir_.file("out.mp3")));
  expectVideoOnly(in, dir_.file("out.flv"));
}

TEST_F(WineTagmend, AudioWithoutVideoGivesOnlyTheMp3) {
  std::string exe = install(dir_.file("app"), true);
  std::string mp3 = makeMp3(dir_);
  for (const char* codec : {"pcm_u8", "nellymoser"}) {
    TempDir work;
    std::string in = makeClip(work.file("in.flv"), std::string("-vn -c:a ") + codec, 22050);
    RunResult r = wine(exe, {winPath(in), winPath(work.file("out"))}, "",
                       converterEnv(work.file("dump"), mp3));
    EXPECT_EQ(r.exitCode, 0) << codec;
    EXPECT_EQ(listDir(work.path()), (std::vector<std::string>{"dump", "in.flv", "out.mp3"})) << codec;
  }
}

// A converter that fails, or none beside the program: the flow's exit code
// and no FLV.
TEST_F(WineTagmend, ConverterFailureAndMissingConverter) {
  std::string mp3 = makeMp3(dir_);
  std::string pcm = makeClip(dir_.file("in/pcm.flv"), "-c:v flv -c:a pcm_u8", 11025);
  std::string nelly = makeClip(dir_.file("in/nelly.flv"), "-c:v flv -c:a nellymoser", 11025);

  std::string withFailing = install(dir_.file("failing"), true);
  RunResult r = wine(withFailing, {winPath(pcm), winPath(dir_.file("a"))}, "",
                     converterEnv(dir_.file("dump"), mp3, 3));
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_FALSE(fs::exists(dir_.file("a.flv")));
  r = wine(withFailing, {winPath(nelly), winPath(dir_.file("b"))}, "",
           converterEnv(dir_.file("dump"), mp3, 1));
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_FALSE(fs::exists(dir_.file("b.flv")));

  std::string without = install(dir_.file("bare"), false);
  fs::create_directories(dir_.file("out"));
  r = wine(without, {winPath(pcm), winPath(dir_.file("out/c"))}, "");
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.out, kWinBanner);
  r = wine(without, {winPath(nelly), winPath(dir_.file("out/d"))}, "");
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_EQ(listDir(dir_.file("out")), std::vector<std::string>{});
}

// Spaces in every path, relative paths, and a current folder that is not
// the program's: the converter is still the one beside the program.
TEST_F(WineTagmend, PathsWithSpacesFromAnotherFolder) {
  std::string app = dir_.file("Program Files/tag mend");
  std::string exe = install(app, true);
  std::string mp3 = makeMp3(dir_);
  std::string work = dir_.file("my clips");
  std::string pcm = makeClip(work + "/pcm clip.flv", "-c:v flv -c:a pcm_s16be", 44100);
  std::string withMp3 = makeClip(work + "/mp3 clip.flv", "-c:v flv -c:a libmp3lame", 44100);

  RunResult r = wine(exe, {"pcm clip.flv", "fixed pcm"}, work,
                     converterEnv(dir_.file("dump dir"), mp3));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<uint8_t> args = readBytes(dir_.file("dump dir/args.txt"));
  EXPECT_EQ(std::string(args.begin(), args.end()).rfind(winPath(app + "/tonecast.exe") + "\n", 0), 0u);
  EXPECT_TRUE(fs::exists(work + "/fixed pcm.mp3"));
  expectVideoOnly(pcm, work + "/fixed pcm.flv");

  r = wine(exe, {winPath(withMp3), winPath(work + "/fixed mp3")}, dir_.path());
  ASSERT_EQ(r.exitCode, 0);
  Flv out = readFlv(work + "/fixed mp3.flv");
  EXPECT_TRUE(out.ok) << out.problem;
  EXPECT_EQ(flvmetaCheck(work + "/fixed mp3.flv").errors, 0);
}

// ---- The build's own converter -----------------------------------------------

// The audio of a media file as ffmpeg decodes it: mono float samples at
// 44.1 kHz (an MP3's encoder delay and padding taken off by its LAME tag).
// decoder: one of ffmpeg's to use in place of its default (libspeex: its
// own Speex decoder takes one frame of an FLV tag and leaves the rest).
std::vector<float> decodeAudio(const std::string& path, const TempDir& dir, const std::string& decoder = "") {
  const std::string raw = dir.file("decoded.f32");
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
  if (!decoder.empty()) args.insert(args.end(), {"-c:a", decoder});
  args.insert(args.end(), {"-i", path, "-map", "0:a:0", "-ac", "1", "-ar", "44100", "-f", "f32le", raw});
  RunResult r = run(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<uint8_t> bytes = readBytes(raw);
  std::vector<float> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}

double correlation(const std::vector<float>& a, const std::vector<float>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    ab += double{a[i]} * b[i];
    aa += double{a[i]} * a[i];
    bb += double{b[i]} * b[i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

double rms(const std::vector<float>& s, size_t from, size_t to) {
  double sum = 0;
  to = std::min(to, s.size());
  for (size_t i = from; i < to; ++i) sum += double{s[i]} * s[i];
  return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

struct ConverterInput {
  const char* name;
  const char* audio;  // ffmpeg's audio options
  uint8_t soundFormat;  // what the input's audio tags say
  bool gap;
};

// The PCM, Nellymoser and Speex inputs the converter takes. ffmpeg stores 16-bit
// PCM as format 3 (little-endian); the recorders wrote 0, the byte order of
// the platform, which is how these inputs are stored.
const ConverterInput kConverterInputs[] = {
    {"pcm8-mono", "-c:a pcm_u8 -ar 11025 -ac 1", 0, true},
    {"pcm8-stereo", "-c:a pcm_u8 -ar 22050 -ac 2", 0, false},
    {"pcm16-mono", "-c:a pcm_s16le -ar 22050 -ac 1", 0, false},
    {"pcm16-stereo", "-c:a pcm_s16le -ar 44100 -ac 2", 0, true},
    {"nellymoser-8k", "-c:a nellymoser -ar 8000 -ac 1", 5, true},
    {"nellymoser", "-c:a nellymoser -ar 22050 -ac 1", 6, false},
    {"speex", "-c:a libspeex -ar 16000 -ac 1 -frames_per_packet 2", 11, true},  // tagmend --speex
};

// Empties the payloads of the audio tags from 40 % to 55 % of the audio: a
// gap, which the converter fills with silence for its stored length.
// Returns the gap's first and last stored milliseconds.
std::pair<uint32_t, uint32_t> cutGap(Flv& f) {
  std::vector<Tag*> audio;
  for (Tag& t : f.tags)
    if (t.type == 8) audio.push_back(&t);
  const size_t from = audio.size() * 40 / 100, to = audio.size() * 55 / 100;
  for (size_t i = from; i < to; ++i) audio[i]->data.resize(1);  // the flags byte alone
  return {audio[from]->timestamp, audio[to]->timestamp};
}

// Each input through tagmend.exe and its tonecast.exe: exit 0, an MP3 of
// the input's length that sounds as the Linux build's does (silent in the
// gap), and the video re-timed as the Linux build re-times it.
TEST_F(WineTagmend, ConverterWritesWhatTheLinuxBuildWrites) {
  if (!fs::exists(tagmendPath()) || !fs::exists(binDir() + "/tonecast.exe"))
    GTEST_SKIP() << "no Linux build with tonecast.exe to compare with";
  std::string exe = installWithConverter(dir_.file("app"));
  for (const ConverterInput& c : kConverterInputs) {
    SCOPED_TRACE(c.name);
    TempDir work;
    const std::string original = makeWithFfmpeg(work.file("original.flv"),
        "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=frequency=440:sample_rate=44100 "
        "-t 3 -c:v flv " + std::string(c.audio) + " -fflags +bitexact -f flv");
    Flv flv = readFlv(original);
    ASSERT_TRUE(flv.ok) << flv.problem;
    for (Tag& t : flv.tags)
      if (t.type == 8) t.data[0] = static_cast<uint8_t>((c.soundFormat << 4) | (t.data[0] & 0x0F));
    std::pair<uint32_t, uint32_t> gap{0, 0};
    if (c.gap) gap = cutGap(flv);
    const std::string in = work.file("in.flv");
    writeFlv(in, flv);

    const bool speex = c.soundFormat == 11;
    std::vector<std::string> winArgs = {winPath(in), winPath(work.file("win"))};
    if (speex) winArgs.insert(winArgs.begin(), "--speex");
    RunResult r = wine(exe, winArgs, "");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, kWinBanner);
    RunResult linux = speex ? run({tagmendPath(), "--speex", in, work.file("linux")}) : tagmend(in, work.file("linux"));
    ASSERT_EQ(linux.exitCode, 0) << linux.err;

    std::string errors;
    EXPECT_TRUE(ffprobeReads(work.file("win.mp3"), &errors)) << errors;
    const std::vector<float> win = decodeAudio(work.file("win.mp3"), work);
    const std::vector<float> lin = decodeAudio(work.file("linux.mp3"), work);
    const std::vector<float> source = decodeAudio(original, work, speex ? "libspeex" : "");
    // The input's length, gap included, within one MP3 frame; the Linux
    // build's to the sample or nearly.
    EXPECT_NEAR(static_cast<double>(win.size()), static_cast<double>(source.size()), 1152);
    EXPECT_NEAR(static_cast<double>(win.size()), static_cast<double>(lin.size()), 2);
    EXPECT_GT(correlation(win, lin), 0.99);
    EXPECT_GT(rms(win, 0, win.size()), 0.05);  // the tone (RMS 0.088), not silence
    if (c.gap) {
      // Silent inside the gap, away from the codec's overlap at its ends.
      const size_t from = (size_t{gap.first} + 60) * 44100 / 1000, to = (size_t{gap.second} - 60) * 44100 / 1000;
      ASSERT_LT(from, to);
      EXPECT_LT(rms(win, from, to), 0.01);
      EXPECT_GT(rms(win, to + 4410, to + 8820), 0.05);  // and the tone again after it
    }
    // The Nellymoser re-timer reads only the input; the PCM re-timer spreads
    // the MP3's length, so its video is the same when the lengths are.
    expectVideoOnly(in, work.file("win.flv"));
    const bool sameVideo = win.size() == lin.size() || c.soundFormat != 0;
    if (sameVideo) {
      EXPECT_EQ(readBytes(work.file("win.flv")), readBytes(work.file("linux.flv")));
    }
    std::cout << "[ compare  ] " << c.name << ": decoded " << win.size() << " samples (Linux build "
              << lin.size() << ")" << (sameVideo ? ", FLV compared byte for byte" : "") << "\n";
  }
}

// The Linux processes of the Windows programs whose command line names
// `program` (Wine shows the Windows command line).
std::vector<pid_t> processesOf(const std::string& program) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (text.find(program) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

// A converter killed while it writes: the flow fails with 5, no MP3 and no
// FLV at the prefix.
TEST_F(WineTagmend, ConverterKilledMidRunFailsTheFlow) {
  std::string app = dir_.file("app");
  std::string exe = installWithConverter(app);
  std::string in = makeWithFfmpeg(dir_.file("long.flv"),
      "-f lavfi -i testsrc=size=64x48:rate=5 -f lavfi -i sine=sample_rate=44100 -t 300 "
      "-c:v flv -c:a pcm_u8 -ac 2 -f flv");
  fs::create_directories(dir_.file("out"));
  auto running = std::async(std::launch::async, [&] {
    return wine(exe, {winPath(in), winPath(dir_.file("out/x"))}, "");
  });
  const std::string converter = winPath(app + "/tonecast.exe");
  std::vector<pid_t> pids;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (pids.empty() && std::chrono::steady_clock::now() < deadline &&
         running.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout)
    pids = processesOf(converter);
  ASSERT_EQ(pids.size(), 1u) << "the converter was not seen running";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(running.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the conversion ended before it could be killed";
  kill(pids[0], SIGKILL);
  RunResult r = running.get();
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_EQ(r.out, kWinBanner);
  EXPECT_FALSE(fs::exists(dir_.file("out/x.mp3")));
  EXPECT_FALSE(fs::exists(dir_.file("out/x.flv")));
  // The converter had no chance to remove its partial file.
  std::cout << "left in the output folder:";
  for (const std::string& name : listDir(dir_.file("out"))) std::cout << " " << name;
  std::cout << "\n";
}

}  // namespace
}  // namespace e2e
