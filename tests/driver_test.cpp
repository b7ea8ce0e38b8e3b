// tagmend's command line as a user meets it: the banner, the usage line, the
// exit code for each kind of input, and the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

const std::string kBannerOnly = kBanner;
const std::string kBannerAndUsage = std::string(kBanner) + kUsage;

// A small clip: 1 s of test picture at 64x48 and a sine, with the given
// encoder options (for instance "-c:v flv -c:a libmp3lame"; "-an" or "-vn"
// drop a stream).
std::string makeClip(const TempDir& dir, const std::string& name, const std::string& codecs,
                     int sampleRate = 22050) {
  return makeWithFfmpeg(dir.file(name),
      "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=" +
      std::to_string(sampleRate) + " -t 1 " + codecs + " -fflags +bitexact -f flv");
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  }

  // Runs tagmend in the temporary directory with the prefix "out" and checks
  // what every refusing or no-repair outcome shares: only the banner on
  // stdout, nothing on stderr, and no new file beside the input.
  void expectNoRepair(const std::string& input, int exitCode) {
    std::vector<std::string> before = listDir(dir_.path());
    RunResult r = run({tagmendPath(), input, "out"}, dir_.path());
    EXPECT_EQ(r.exitCode, exitCode) << input;
    EXPECT_EQ(r.out, kBannerOnly);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listDir(dir_.path()), before);
  }

  TempDir dir_;
};

TEST_F(Driver, WrongArgumentCountPrintsBannerThenUsageAndExits1) {
  std::string input = makeClip(dir_, "in.flv", "-c:v flv -c:a libmp3lame");
  std::vector<uint8_t> original = readBytes(input);
  const std::vector<std::vector<std::string>> argLists = {
      {}, {input}, {input, "out", "extra"}, {input, "out", "extra", "more"}};
  for (const auto& args : argLists) {
    std::vector<std::string> argv = {tagmendPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run(argv, dir_.path());
    EXPECT_EQ(r.exitCode, 1) << args.size() << " arguments";
    EXPECT_EQ(r.out, kBannerAndUsage) << args.size() << " arguments";
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"in.flv"});
  EXPECT_EQ(readBytes(input), original);
}

TEST_F(Driver, MissingInputExits2) {
  expectNoRepair(dir_.file("does-not-exist.flv"), 2);
  expectNoRepair("", 2);
}

// The FLV library opens any existing file; one that holds no FLV header
// then fails the probe.
TEST_F(Driver, FileThatIsNoFlvExits3) {
  writeBytes(dir_.file("empty.flv"), {});
  expectNoRepair(dir_.file("empty.flv"), 3);
  writeBytes(dir_.file("text.flv"), {'h', 'e', 'l', 'l', 'o', '\n'});
  expectNoRepair(dir_.file("text.flv"), 3);
  // A header cut short.
  writeBytes(dir_.file("short.flv"), {'F', 'L', 'V', 1, 5, 0, 0});
  expectNoRepair(dir_.file("short.flv"), 3);
  std::string mp3 = makeWithFfmpeg(dir_.file("sound.mp3"), "-f lavfi -i sine -t 1 -c:a libmp3lame");
  expectNoRepair(mp3, 3);
}

// A folder is no file to open, as on Windows.
TEST_F(Driver, DirectoryAsInputExits2) {
  ASSERT_EQ(mkdir(dir_.file("sub.flv").c_str(), 0755), 0);
  expectNoRepair(dir_.file("sub.flv"), 2);
}

// The repairs open the input again: data from a pipe or a FIFO, though it is
// an FLV, is an input that cannot be opened as a file. A FIFO that nobody
// writes is refused at once, not waited for.
TEST_F(Driver, PipeOrFifoAsInputExits2) {
  // FIFOs and /dev/stdin are the native program's: under Wine the server
  // opens such paths in its own process.
  std::vector<uint8_t> magic = readBytes(tagmendPath());
  if (magic.size() < 4 || !std::equal(magic.begin(), magic.begin() + 4, "\x7f" "ELF"))
    GTEST_SKIP() << "not a native tagmend";
  std::string input = makeClip(dir_, "in.flv", "-c:v flv -c:a libmp3lame");
  // Quoted in steps: g++ 12 takes `"'" + temporary` for an overlapping copy
  // (GCC bug 105329).
  std::string tagmend = tagmendPath();
  tagmend.insert(tagmend.begin(), '\'');
  tagmend += '\'';
  RunResult piped = run({"sh", "-c", "cat in.flv | " + tagmend + " /dev/stdin out"}, dir_.path(), {}, 20);
  EXPECT_EQ(piped.exitCode, 2);
  EXPECT_EQ(piped.out, kBannerOnly);
  ASSERT_EQ(mkfifo(dir_.file("fifo.flv").c_str(), 0600), 0);
  RunResult fed = run({"sh", "-c", "cat in.flv > fifo.flv & " + tagmend + " fifo.flv out; code=$?; "
                       "kill $! 2>/dev/null; exit $code"}, dir_.path(), {}, 20);
  EXPECT_EQ(fed.exitCode, 2);
  expectNoRepair(dir_.file("fifo.flv"), 2);
  EXPECT_EQ(listDir(dir_.path()), (std::vector<std::string>{"fifo.flv", "in.flv"}));
}

// A prefix that names no file ("" or a folder followed by "/") would write
// hidden ".flv" and ".mp3" files: each repair refuses it with its failure
// code and writes nothing.
TEST_F(Driver, PrefixWithoutAFileNameIsRefusedWithTheBranchCode) {
  ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0755), 0);
  struct Case { const char* codecs; int sampleRate; int exitCode; };
  for (const Case& c : {Case{"-c:v flv -c:a libmp3lame", 22050, 4}, Case{"-c:v flv -c:a pcm_s16le", 11025, 0},
                        Case{"-c:v flv -c:a pcm_s16be", 11025, 5}, Case{"-vn -c:a nellymoser", 8000, 6}}) {
    std::string input = makeClip(dir_, "in.flv", c.codecs, c.sampleRate);
    for (const std::string& prefix : std::vector<std::string>{"", "sub/", dir_.file("sub/")}) {
      RunResult r = run({tagmendPath(), input, prefix}, dir_.path());
      EXPECT_EQ(r.exitCode, c.exitCode) << c.codecs << " into '" << prefix << "'";
      EXPECT_EQ(r.out, kBannerOnly);
      EXPECT_EQ(listDir(dir_.path()), (std::vector<std::string>{"in.flv", "sub"}));
      EXPECT_TRUE(listDir(dir_.file("sub")).empty());
    }
    std::filesystem::remove(input);
  }
}

TEST_F(Driver, NoAudioExits7WhateverTheVideo) {
  expectNoRepair(makeClip(dir_, "h263.flv", "-c:v flv -an"), 7);
  if (haveTool("ffprobe")) {  // libx264 is part of Debian's ffmpeg
    expectNoRepair(makeClip(dir_, "h264.flv", "-c:v libx264 -preset ultrafast -an"), 7);
  }
  // A header and nothing else: neither audio nor video.
  Flv bare;
  bare.flags = 0x05;
  writeFlv(dir_.file("bare.flv"), bare);
  expectNoRepair(dir_.file("bare.flv"), 7);
  // A header that claims audio over a file that holds only video.
  Flv liar = readFlv(dir_.file("h263.flv"));
  ASSERT_TRUE(liar.ok) << liar.problem;
  liar.flags = 0x05;
  writeFlv(dir_.file("liar.flv"), liar);
  expectNoRepair(dir_.file("liar.flv"), 7);
}

TEST_F(Driver, Mp3WithoutVideoNeedsNoRepair) {
  expectNoRepair(makeClip(dir_, "mp3.flv", "-vn -c:a libmp3lame"), 0);
}

TEST_F(Driver, AudioFormatsOutsideTheRepairsNeedNoRepair) {
  struct Case { const char* codecs; int rate; int format; };
  const Case cases[] = {
      {"-c:v flv -c:a adpcm_swf", 22050, 1},
      {"-c:v flv -c:a pcm_s16le", 22050, 3},
      {"-c:v flv -c:a nellymoser", 16000, 4},
      {"-c:v flv -c:a aac", 44100, 10},
  };
  for (const Case& c : cases) {
    std::string name = "format" + std::to_string(c.format) + ".flv";
    std::string input = makeClip(dir_, name, c.codecs, c.rate);
    Flv f = readFlv(input);
    ASSERT_TRUE(f.ok) << f.problem;
    auto audio = tagsOfType(f, 8);
    ASSERT_FALSE(audio.empty());
    ASSERT_EQ(soundFormat(*audio[0]), c.format) << "ffmpeg wrote another format for " << c.codecs;
    expectNoRepair(input, 0);
  }
}

// ---- Options ------------------------------------------------------------------

// An unknown option, or options without the two paths: the usage line, which
// names the options, and nothing touched.
TEST_F(Driver, UnknownOptionPrintsUsageAndExits1) {
  std::string input = makeClip(dir_, "in.flv", "-c:v flv -c:a aac", 44100);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--speex", "in.flv", "out"}, {"--aac", "-x", "in.flv", "out"},
           {"--aac", "--", "in.flv"}, {"--aac", "in.flv", "out", "more"}}) {
    std::vector<std::string> argv = {tagmendPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run(argv, dir_.path());
    EXPECT_EQ(r.exitCode, 1) << args[0] << " " << args[1];
    EXPECT_EQ(r.out, kBannerAndUsage);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(listDir(dir_.path()), std::vector<std::string>{"in.flv"});
}

// Two arguments are the two paths, as they always were, even when the input's
// name begins with a dash; with more, "--" ends the options.
TEST_F(Driver, TwoArgumentsAreAlwaysThePaths) {
  makeClip(dir_, "-in.flv", "-c:v flv -c:a libmp3lame");
  RunResult r = run({tagmendPath(), "-in.flv", "out"}, dir_.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kBannerOnly);
  EXPECT_TRUE(fileExists(dir_.file("out.flv")));
  r = run({tagmendPath(), "--aac", "--", "-in.flv", "out2"}, dir_.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(fileExists(dir_.file("out2.flv")));  // MP3 input: the MP3 repair, option or not
  expectNoRepair("--aac", 2);  // a path, not an option
}

// --aac repairs AAC with video; AAC without video is left alone, as MP3 is.
TEST_F(Driver, AacOptionRepairsAacWithVideo) {
  std::string input = makeClip(dir_, "aac.flv", "-c:v flv -c:a aac", 44100);
  RunResult r = run({tagmendPath(), "--aac", input, "out"}, dir_.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kBannerOnly);
  Flv out = readFlv(dir_.file("out.flv"));
  ASSERT_TRUE(out.ok) << out.problem;
  EXPECT_EQ(tagsOfType(out, 8).size(), tagsOfType(readFlv(input), 8).size());
  std::filesystem::remove(dir_.file("out.flv"));
  std::string audioOnly = makeClip(dir_, "aac-only.flv", "-vn -c:a aac", 44100);
  r = run({tagmendPath(), "--aac", audioOnly, "out"}, dir_.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(listDir(dir_.path()), (std::vector<std::string>{"aac-only.flv", "aac.flv"}));
}

// Raw AAC frames with no usable AudioSpecificConfig before them (an empty
// sequence header, one at a reserved rate, or none at all) have no length
// that is more than a guess: exit 8, nothing written.
TEST_F(Driver, AacFramesWithoutAUsableConfigExit8) {
  Flv f = readFlv(makeClip(dir_, "aac.flv", "-c:v flv -c:a aac", 44100));
  ASSERT_TRUE(f.ok) << f.problem;
  Tag* header = nullptr;
  for (Tag& t : f.tags)
    if (t.type == 8 && t.data.size() > 2 && t.data[1] == 0) header = &t;
  ASSERT_NE(header, nullptr);
  const std::vector<uint8_t> config = header->data;
  const std::vector<std::vector<uint8_t>> broken = {{config[0], 0}, {config[0], 0, 0x16, 0x90}};
  for (size_t i = 0; i <= broken.size(); ++i) {
    Flv damaged = f;
    for (Tag& t : damaged.tags)
      if (t.type == 8 && t.data == config && i < broken.size()) t.data = broken[i];
    if (i == broken.size()) std::erase_if(damaged.tags, [&](const Tag& t) { return t.type == 8 && t.data == config; });
    writeFlv(dir_.file("broken.flv"), damaged);
    RunResult r = run({tagmendPath(), "--aac", "broken.flv", "out"}, dir_.path());
    EXPECT_EQ(r.exitCode, 8) << "case " << i;
    EXPECT_EQ(r.out, kBannerOnly);
    EXPECT_EQ(listDir(dir_.path()), (std::vector<std::string>{"aac.flv", "broken.flv"})) << "case " << i;
    r = run({tagmendPath(), "broken.flv", "out"}, dir_.path());
    EXPECT_EQ(r.exitCode, 0) << "without --aac, AAC is left alone";
  }
}

}  // namespace
}  // namespace e2e
