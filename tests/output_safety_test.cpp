// What tagmend does to files other than its outputs, and to its outputs when
// the disk fails it: an output that names the input under another spelling
// is refused by file identity and the input is left alone; a full disk is a
// failure, never a success; a file that is replaced is replaced whole.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// A clip of the given length: test picture at 64x48 and a sine, with the
// given encoder options ("-vn" drops the picture).
std::string makeClip(const std::string& path, const std::string& codecs, int seconds = 3,
                     int sampleRate = 22050) {
  return makeWithFfmpeg(path, "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=" +
                                  std::to_string(sampleRate) + " -t " + std::to_string(seconds) + " " +
                                  codecs + " -fflags +bitexact -f flv");
}

struct Flow {
  const char* name;
  const char* codecs;
  int sampleRate;
  int failureCode;
};
constexpr Flow kMp3 = {"mp3", "-c:v flv -c:a libmp3lame -b:a 32k", 22050, 4};
constexpr Flow kPcm = {"pcm", "-c:v flv -c:a pcm_s16be", 11025, 5};
constexpr Flow kNellymoser = {"nellymoser", "-c:v flv -c:a nellymoser", 8000, 6};

class OutputSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  }
  bool haveConverter() const { return fileExists(binDir() + "/tonecast.exe"); }

  // The input of flow made in the folder as name, and its bytes.
  std::string input(const Flow& flow, const std::string& name) {
    std::string path = makeClip(dir_.file(name), flow.codecs, 3, flow.sampleRate);
    original_ = readBytes(path);
    return path;
  }

  // tagmend in the temporary folder; the output must fail with the flow's
  // code, print only the banner and leave the input as it was.
  void expectRefused(const Flow& flow, const std::string& in, const std::string& prefix) {
    std::vector<std::string> before = listDir(dir_.path());
    RunResult r = run({tagmendPath(), in, prefix}, dir_.path());
    EXPECT_EQ(r.exitCode, flow.failureCode) << flow.name << " " << prefix;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(readBytes(dir_.file(fs::path(in).filename())), original_) << "input modified";
    EXPECT_EQ(listDir(dir_.path()), before) << flow.name << " " << prefix << ": files were created";
  }

  // The same input with a prefix of its own is repaired: the refusals above
  // come from the names alone.
  void expectRepairedElsewhere(const std::string& in) {
    TempDir other;
    RunResult r = run({tagmendPath(), in, other.file("out")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }

  TempDir dir_;
  std::vector<uint8_t> original_;
};

// ---- An output that is the input --------------------------------------------

TEST_F(OutputSafety, Mp3RepairRefusesEverySpellingOfTheInputAsItsOutput) {
  std::string in = input(kMp3, "in.flv");
  fs::create_hard_link(in, dir_.file("hard.flv"));
  fs::create_symlink("in.flv", dir_.file("soft.flv"));
  for (const char* prefix : {"./in", "in", "hard", "soft", "../" /* replaced below */}) {
    std::string p = prefix;
    if (p == "../") p = "../" + fs::path(dir_.path()).filename().string() + "/./in";
    expectRefused(kMp3, "in.flv", p);
  }
  expectRefused(kMp3, dir_.file("in.flv"), dir_.path() + "//in");
  expectRepairedElsewhere(in);
}

// The converter's MP3 (PREFIX.mp3) and the re-timed video (PREFIX.flv) are
// both refused when they would be the input, before the converter runs.
TEST_F(OutputSafety, ConverterFlowsRefuseTheInputAsEitherOutput) {
  if (!haveConverter()) GTEST_SKIP() << "tonecast.exe not built";
  for (const Flow& flow : {kPcm, kNellymoser}) {
    SCOPED_TRACE(flow.name);
    // PREFIX.flv is the input.
    std::string in = input(flow, "in.flv");
    fs::create_hard_link(in, dir_.file("hard.flv"));
    fs::create_symlink("in.flv", dir_.file("soft.flv"));
    for (const char* prefix : {"./in", "hard", "soft"}) expectRefused(flow, "in.flv", prefix);
    expectRepairedElsewhere(in);
    fs::remove(dir_.file("hard.flv"));
    fs::remove(dir_.file("soft.flv"));
    fs::remove(in);
    // PREFIX.mp3 is the input (an FLV that happens to be named .mp3).
    in = input(flow, "in.mp3");
    fs::create_hard_link(in, dir_.file("hard.mp3"));
    fs::create_symlink("in.mp3", dir_.file("soft.mp3"));
    for (const char* prefix : {"./in", "hard", "soft"}) expectRefused(flow, "in.mp3", prefix);
    expectRepairedElsewhere(in);
    for (const char* name : {"hard.mp3", "soft.mp3", "in.mp3"}) fs::remove(dir_.file(name));
  }
}

// ---- A full disk, links, devices and pipes ----------------------------------------

// tagmend with a limit on the size of every file it (and its converter)
// writes: a write past it fails as on a full disk (EFBIG for ENOSPC).
RunResult runWithFileSizeLimit(int blocksOf512, const std::string& in, const std::string& prefix) {
  return run({"sh", "-c", "trap '' XFSZ; ulimit -f \"$0\" && exec \"$@\"", std::to_string(blocksOf512),
              tagmendPath(), in, prefix});
}

// A link at PREFIX.flv names a file in another folder. A repair that fails
// on a full disk leaves that file as it was (it is never written through),
// and the folders hold nothing new.
TEST_F(OutputSafety, AFailedRepairLeavesTheFileALinkNamesAlone) {
  std::string in = input(kMp3, "in.flv");
  TempDir out, elsewhere;
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  writeBytes(elsewhere.file("kept.flv"), old);
  fs::create_symlink(elsewhere.file("kept.flv"), out.file("out.flv"));
  RunResult r = runWithFileSizeLimit(4, in, out.file("out"));
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_TRUE(readBytes(elsewhere.file("kept.flv")) == old);
  EXPECT_TRUE(fs::is_symlink(out.file("out.flv")));
  EXPECT_EQ(listDir(out.path()), std::vector<std::string>{"out.flv"});
  EXPECT_EQ(listDir(elsewhere.path()), std::vector<std::string>{"kept.flv"});
  EXPECT_EQ(readBytes(in), original_);
}

// A device or a pipe at an output's name (or a link to one) has no contents
// to replace whole: every flow refuses it with its failure code, before
// the converter runs, writing nothing; a pipe never holds a run up.
TEST_F(OutputSafety, DevicesAndPipesAtAnOutputAreRefused) {
  for (const Flow& flow : {kMp3, kPcm, kNellymoser}) {
    if (flow.failureCode != 4 && !haveConverter()) continue;
    SCOPED_TRACE(flow.name);
    std::string in = input(flow, std::string(flow.name) + ".flv");
    for (std::string ext : {".flv", ".mp3"}) {
      if (flow.failureCode == 4 && ext == ".mp3") continue;  // the MP3 repair writes no .mp3
      TempDir out;
      fs::create_symlink("/dev/full", out.file("full" + ext));
      ASSERT_EQ(mkfifo(out.file("pipe" + ext).c_str(), 0600), 0);
      for (const char* name : {"full", "pipe"}) {
        RunResult r = run({tagmendPath(), in, out.file(name)}, "", {}, 30);
        EXPECT_EQ(r.exitCode, flow.failureCode) << name << ext;
        EXPECT_EQ(r.out, kBanner);
      }
      EXPECT_EQ(listDir(out.path()), (std::vector<std::string>{"full" + ext, "pipe" + ext}));
      EXPECT_TRUE(fs::is_fifo(out.file("pipe" + ext)));
    }
    EXPECT_EQ(readBytes(in), original_);
  }
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// A small RAM file system of its own, mounted in a private mount namespace
// (needs root; skipped otherwise). Runs argv there with the prefix
// mount/out and returns the result; the names left in the mount and copies
// of the files go to keep.
bool canMountPrivately() {
  static const bool can = [] {
    if (!haveTool("unshare")) return false;
    TempDir probe;
    RunResult r = run({"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=8k tmpfs \"$0\"", probe.path()});
    return r.exitCode == 0;
  }();
  return can;
}

RunResult runOnSmallDisk(int64_t bytes, const std::string& in, const std::string& mount,
                         const std::string& keep, bool verbose = false) {
  const char* script =
      "mount -t tmpfs -o size=$1 tmpfs \"$2\" || exit 99; \"$4\" \"$5\" \"$2/out\"; rc=$?; "
      "ls -A \"$2\" > \"$3/.listing\"; cp \"$2\"/* \"$3\"/ 2>/dev/null; exit $rc";
  return run({"unshare", "-m", "sh", "-c", script, "sh", std::to_string(bytes), mount, keep,
              tagmendPath(), in},
             "", {std::string("TAGMEND_VERBOSE=") + (verbose ? "1" : "0")});
}

std::vector<std::string> listing(const std::string& keep) {
  std::vector<std::string> names;
  std::string text;
  for (uint8_t c : readBytes(keep + "/.listing")) text += static_cast<char>(c);
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    names.push_back(text.substr(start, nl - start));
  return names;
}

TEST_F(OutputSafety, EveryRepairOnASmallDiskFails) {
  if (!canMountPrivately()) GTEST_SKIP() << "no private mount namespace (needs root)";
  for (const Flow& flow : {kMp3, kPcm, kNellymoser}) {
    if (flow.failureCode != 4 && !haveConverter()) continue;
    SCOPED_TRACE(flow.name);
    std::string in = input(flow, std::string(flow.name) + ".flv");
    TempDir mount, keep;
    RunResult r = runOnSmallDisk(8192, in, mount.path(), keep.path(), true);
    EXPECT_EQ(r.exitCode, flow.failureCode) << r.err;
    EXPECT_EQ(r.out, kBanner);
    // The reason told is the full disk's, not that of a later call (the
    // converter's is its exit code).
    if (flow.failureCode == 4) {
      EXPECT_EQ(r.err.rfind("tagmend: write output: " + mount.path() + "/.tagmend-", 0), 0u) << r.err;
      const std::string reason = ": No space left on device\n";
      EXPECT_TRUE(r.err.size() > reason.size() && r.err.substr(r.err.size() - reason.size()) == reason) << r.err;
    }
    EXPECT_EQ(r.err.find("No such file"), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(in), original_);
    // The converter never leaves a partial MP3 at its final name, nor beside it.
    if (flow.failureCode != 4) {
      EXPECT_EQ(listing(keep.path()), std::vector<std::string>{});
    }
  }
}

// The writer leaves room for the metadata in front of the tags, and the
// refresh writes over it: a disk with room for the repaired file alone
// still gets the same file as a roomy one, metadata and all.
TEST_F(OutputSafety, MetadataRefreshOverItsRoomNeedsNoSpace) {
  if (!canMountPrivately()) GTEST_SKIP() << "no private mount namespace (needs root)";
  std::string in = input(kMp3, "in.flv");
  TempDir normal;
  ASSERT_EQ(run({tagmendPath(), in, normal.file("out")}).exitCode, 0);
  std::vector<uint8_t> repaired = readBytes(normal.file("out.flv"));
  int64_t pages = (static_cast<int64_t>(repaired.size()) + 4095) / 4096;

  TempDir mount, keep;
  RunResult r = runOnSmallDisk(pages * 4096, in, mount.path(), keep.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(listing(keep.path()), std::vector<std::string>{"out.flv"});
  EXPECT_TRUE(readBytes(keep.file("out.flv")) == repaired);
  EXPECT_EQ(readBytes(in), original_);
}

// A key frame index that outgrows the room (every frame a key frame) needs
// a rewrite of the file; on a disk with no space for it the refresh fails,
// and so does the repair (exit 4): an output without its metadata is never
// published, and no temporary file is left beside it.
TEST_F(OutputSafety, MetadataOutgrowingItsRoomOnAFullDiskFailsTheRepair) {
  if (!canMountPrivately()) GTEST_SKIP() << "no private mount namespace (needs root)";
  std::string in = makeClip(dir_.file("in.flv"), std::string(kMp3.codecs) + " -g 1", 20);
  original_ = readBytes(in);
  TempDir normal;
  ASSERT_EQ(run({tagmendPath(), in, normal.file("out")}).exitCode, 0);
  Flv repaired = readFlv(normal.file("out.flv"));
  ASSERT_TRUE(repaired.ok);
  ASSERT_FALSE(repaired.tags.empty());
  ASSERT_EQ(repaired.tags[0].type, 18);
  // Two hundred key frames: more index than the room in front holds.
  ASSERT_GT(repaired.tags[0].data.size(), size_t{3000});
  int64_t pages = (static_cast<int64_t>(readBytes(normal.file("out.flv")).size()) + 4095) / 4096;
  ASSERT_GE(pages, 3) << "the clip is too small for this test";

  TempDir mount, keep;
  RunResult r = runOnSmallDisk((pages + 1) * 4096, in, mount.path(), keep.path(), true);
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("tagmend: write output: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": No space left on device\n"), std::string::npos) << r.err;
  EXPECT_EQ(listing(keep.path()), std::vector<std::string>{});
  EXPECT_EQ(readBytes(in), original_);
}

// ---- Replacing a file whole ---------------------------------------------------------

// Starts argv in a process group of its own; returns its id. With
// ignoreHangup, it starts as under nohup.
pid_t startGroup(const std::vector<std::string>& argv, bool ignoreHangup = false) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (ignoreHangup) signal(SIGHUP, SIG_IGN);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

// An MP3 file that holds whole frames to its end (an ID3v2 tag aside).
bool isWholeMp3(const std::vector<uint8_t>& bytes) {
  size_t total = 0;
  for (const auto& frame : mp3Frames(bytes)) total += frame.size();
  size_t id3 = 0;
  if (bytes.size() >= 10 && bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3')
    id3 = 10 + ((bytes[6] << 21) | (bytes[7] << 14) | (bytes[8] << 7) | bytes[9]);
  return total > 0 && id3 + total == bytes.size();
}

// The converter replaces an existing PREFIX.mp3. Killed at any moment, with
// tagmend and everything it started, it leaves the old file or a whole new
// one at that name.
TEST_F(OutputSafety, KilledConversionLeavesTheOldMp3OrAWholeNewOne) {
  if (!haveConverter()) GTEST_SKIP() << "tonecast.exe not built";
  std::string in = makeClip(dir_.file("in.flv"), "-vn -c:a pcm_s16be", 20, 44100);
  const std::vector<uint8_t> input = readBytes(in);
  const std::vector<uint8_t> old = {'o', 'l', 'd', ' ', 'm', 'p', '3'};
  TempDir out;
  const std::string mp3 = out.file("out.mp3");

  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run({tagmendPath(), in, out.file("out")}).exitCode, 0);
  auto whole = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(isWholeMp3(readBytes(mp3)));

  int sawOld = 0, sawNew = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    writeBytes(mp3, old);
    pid_t pid = startGroup({tagmendPath(), in, out.file("out")});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(whole * (attempt + 1) / 7);
    kill(-pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    // A killed tagmend cannot remove its job object (named for its main
    // thread, whose id is its pid): the test does.
    std::filesystem::remove("/dev/shm/MY_TONECAST_MM_" + std::to_string(pid));
    std::vector<uint8_t> now = readBytes(mp3);
    if (now == old) {
      ++sawOld;
    } else {
      EXPECT_TRUE(isWholeMp3(now)) << "attempt " << attempt << ": " << now.size() << " bytes";
      ++sawNew;
    }
  }
  std::cout << "killed conversions: old file " << sawOld << ", new file " << sawNew
            << "; left in the folder:";
  for (const std::string& name : listDir(out.path())) std::cout << " " << name;
  std::cout << "\n";
  EXPECT_EQ(readBytes(in), input);
}

// ---- Interrupted, killed and ignored signals ----------------------------------

// The child tagmend (pid) runs, or 0.
pid_t childOf(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = 0;
  children >> child;
  return child;
}

// Running, as opposed to gone or a zombie that its new parent has yet to reap.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
         line[close + 2] != 'X';
}

template <class Condition>
bool waitFor(Condition condition, int seconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// A PCM conversion caught in the middle: tagmend runs with an old
// PREFIX.mp3 in place, its converter is writing its partial file, and the
// job object's name is gone (the converter has opened it).
class MidConversion : public OutputSafety {
 protected:
  void SetUp() override {
    OutputSafety::SetUp();
    if (IsSkipped()) return;
    if (!haveConverter()) GTEST_SKIP() << "tonecast.exe not built";
    in_ = makeClip(dir_.file("in.flv"), "-c:v flv -c:a pcm_s16be", 60, 44100);
    writeBytes(out_.file("out.mp3"), kOld);
  }
  void TearDown() override {
    if (tagmend_ > 0) kill(tagmend_, SIGKILL), waitpid(tagmend_, nullptr, 0);
    if (converter_ > 0) kill(converter_, SIGKILL);
  }

  // Starts tagmend and returns once its converter is half-way.
  void start(bool ignoreHangup = false) {
    tagmend_ = startGroup({tagmendPath(), in_, out_.file("out")}, ignoreHangup);
    ASSERT_GT(tagmend_, 0);
    ASSERT_TRUE(waitFor([&] { return (converter_ = childOf(tagmend_)) != 0; }));
    partial_ = out_.file(".tonecast-" + std::to_string(converter_) + ".part");
    ASSERT_TRUE(waitFor([&] { return fileExists(partial_) && !fileExists(jobObject()); }))
        << "the converter ended before it was caught, or the job object kept its name";
  }
  int finish() {
    int status = 0;
    EXPECT_EQ(waitpid(tagmend_, &status, 0), tagmend_);
    tagmend_ = 0;
    return exitCodeOf(status);
  }
  std::string jobObject() const { return "/dev/shm/MY_TONECAST_MM_" + std::to_string(tagmend_); }
  // The converter is gone, and has left nothing but the old MP3.
  void expectNothingLeft() {
    EXPECT_TRUE(waitFor([&] { return !running(converter_); }, 10)) << "the converter runs on";
    converter_ = 0;
    EXPECT_EQ(listDir(out_.path()), std::vector<std::string>{"out.mp3"});
    EXPECT_EQ(readBytes(out_.file("out.mp3")), kOld);
  }

  const std::vector<uint8_t> kOld = {'o', 'l', 'd'};
  TempDir out_;
  std::string in_, partial_;
  pid_t tagmend_ = 0, converter_ = 0;
};

TEST_F(MidConversion, InterruptedTagmendStopsItsConverterAndRemovesEverything) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    start();
    const std::string object = jobObject();
    kill(tagmend_, signal);
    EXPECT_EQ(finish(), 5);
    EXPECT_FALSE(fileExists(object));
    expectNothingLeft();
  }
}

// A kill that tagmend cannot catch still takes the converter along, and
// the converter its partial file. The prefix's lock goes with the process,
// its hidden file not: the next run for the prefix is not held up by it,
// and removes it.
TEST_F(MidConversion, KilledTagmendTakesItsConverterAlong) {
  start();
  kill(tagmend_, SIGKILL);
  EXPECT_EQ(finish(), 128 + SIGKILL);
  EXPECT_TRUE(waitFor([&] { return !running(converter_); }, 10)) << "the converter runs on";
  std::vector<std::string> left = listDir(out_.path());
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].rfind(".tagmend-lock-", 0), 0u) << left[0];
  start();
  kill(tagmend_, SIGINT);
  EXPECT_EQ(finish(), 5);
  expectNothingLeft();
}

// A repair killed outright while it writes its staging file cannot remove
// it; the next run for the prefix finds it named in the lock file the dead
// run left, and removes it: the folder then holds the new output alone.
TEST_F(OutputSafety, TheNextRunRemovesWhatAKilledRunLeft) {
  std::string in = makeClip(dir_.file("in.flv"), std::string(kMp3.codecs), 120, kMp3.sampleRate);
  TempDir out;
  bool caught = false;
  for (int attempt = 0; attempt < 10 && !caught; ++attempt) {
    pid_t pid = startGroup({tagmendPath(), in, out.file("out")});
    ASSERT_GT(pid, 0);
    const std::string staging = out.file(".tagmend-" + std::to_string(pid) + "-0.part");
    // Looked for without a pause: the repair takes milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fileExists(staging) && running(pid) && std::chrono::steady_clock::now() < deadline) {
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    caught = fileExists(staging);
    if (!caught) std::filesystem::remove(out.file("out.flv"));
  }
  ASSERT_TRUE(caught) << "every run ended before it was caught writing";
  std::vector<std::string> left = listDir(out.path());
  ASSERT_EQ(left.size(), 2u);  // the lock file and the staging file

  RunResult r = run({tagmendPath(), in, out.file("out")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(listDir(out.path()), std::vector<std::string>{"out.flv"});
}

TEST_F(MidConversion, KilledConverterLeavesNoPartialFile) {
  start();
  kill(converter_, SIGKILL);
  EXPECT_EQ(finish(), 5);
  expectNothingLeft();
}

// Under nohup a hang-up ends neither tagmend nor its converter.
TEST_F(MidConversion, HangupIgnoredByTheCallerIsIgnoredByTheConverter) {
  start(true);
  kill(-tagmend_, SIGHUP);
  EXPECT_EQ(finish(), 0);
  converter_ = 0;
  EXPECT_EQ(listDir(out_.path()), (std::vector<std::string>{"out.flv", "out.mp3"}));
  EXPECT_TRUE(isWholeMp3(readBytes(out_.file("out.mp3"))));
}

// The converter's partial file has a short name of its own: the longest
// prefix the flows take works for any length of the final name.
TEST_F(OutputSafety, LongestFileNameIsConverted) {
  if (!haveConverter()) GTEST_SKIP() << "tonecast.exe not built";
  std::string in = makeClip(dir_.file("in.flv"), "-vn -c:a pcm_s16be", 1, 22050);
  TempDir out;
  const std::string prefix(251, 'p');  // 255 bytes with ".mp3": the longest name most file systems take
  RunResult r = run({tagmendPath(), in, prefix}, out.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(listDir(out.path()), std::vector<std::string>{prefix + ".mp3"});
}

// ---- Permissions --------------------------------------------------------------------

// argv under the given umask, as a user other than root when the tests run
// as root (whose writes ignore permissions); empty when no such user can be
// had.
std::vector<std::string> withUmask(const std::string& mask, const std::vector<std::string>& argv) {
  std::vector<std::string> full;
  if (::geteuid() == 0) {
    if (!haveTool("setpriv")) return {};
    full = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  full.insert(full.end(), {"sh", "-c", "umask \"$0\" && exec \"$@\"", mask});
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

fs::perms permsOf(const std::string& path) { return fs::status(path).permissions(); }

// A replaced output keeps the permissions of the file it replaces, through
// a link too (the converter's MP3 here); a new one gets the umask's, even
// under a umask that leaves its owner no write permission.
TEST_F(OutputSafety, OutputsKeepThePermissionsOfWhatTheyReplace) {
  for (const Flow& flow : {kMp3, kPcm}) {
    const bool mp3Too = flow.failureCode != 4;
    if (mp3Too && !haveConverter()) continue;
    SCOPED_TRACE(flow.name);
    std::string in = input(flow, std::string(flow.name) + ".flv");
    TempDir out, elsewhere;
    writeBytes(out.file("old.flv"), {'o'});
    fs::permissions(out.file("old.flv"), fs::perms(0600));
    writeBytes(elsewhere.file("kept.mp3"), {'o'});
    fs::permissions(elsewhere.file("kept.mp3"), fs::perms(0640));
    fs::create_symlink(elsewhere.file("kept.mp3"), out.file("old.mp3"));
    ASSERT_EQ(run({tagmendPath(), in, out.file("old")}).exitCode, 0);
    EXPECT_EQ(permsOf(out.file("old.flv")), fs::perms(0600));
    if (mp3Too) {
      EXPECT_TRUE(fs::is_symlink(out.file("old.mp3")));
      EXPECT_TRUE(isWholeMp3(readBytes(elsewhere.file("kept.mp3"))));
      EXPECT_EQ(permsOf(elsewhere.file("kept.mp3")), fs::perms(0640));
      EXPECT_EQ(listDir(elsewhere.path()), std::vector<std::string>{"kept.mp3"});
    }
    std::vector<std::string> argv = withUmask("222", {tagmendPath(), in, out.file("new")});
    if (argv.empty()) continue;
    fs::permissions(out.path(), fs::perms::all);
    fs::permissions(dir_.path(), fs::perms(0755));
    RunResult r = run(argv);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(permsOf(out.file("new.flv")), fs::perms(0444));
    if (mp3Too) {
      EXPECT_EQ(permsOf(out.file("new.mp3")), fs::perms(0444));
    }
    std::vector<std::string> names = {"new.flv", "old.flv", "old.mp3"};
    if (mp3Too) names.insert(names.begin() + 1, "new.mp3");
    EXPECT_EQ(listDir(out.path()), names);
  }
}

// ---- An input cut short under the repair -------------------------------------

// The tags of the FLV file at clip, repeated with continuous timestamps into
// a file of at least bytes bytes at path.
void loopFlv(const std::string& clip, const std::string& path, int64_t bytes) {
  Flv f = readFlv(clip);
  ASSERT_TRUE(f.ok) << f.problem;
  uint32_t length = 0;
  for (const Tag& t : f.tags) length = std::max(length, t.timestamp + 100);
  std::ofstream out(path, std::ios::binary);
  const uint8_t header[13] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  int64_t written = sizeof header;
  for (uint32_t round = 0; written < bytes; ++round) {
    for (const Tag& t : f.tags) {
      if (t.type == 18) continue;
      uint32_t ms = t.timestamp + round * length;
      auto size = static_cast<uint32_t>(t.data.size());
      uint8_t h[11] = {t.type, uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
                       uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms), uint8_t(ms >> 24), 0, 0, 0};
      uint32_t previous = size + 11;
      uint8_t p[4] = {uint8_t(previous >> 24), uint8_t(previous >> 16), uint8_t(previous >> 8), uint8_t(previous)};
      out.write(reinterpret_cast<const char*>(h), 11);
      out.write(reinterpret_cast<const char*>(t.data.data()), size);
      out.write(reinterpret_cast<const char*>(p), 4);
      written += 15 + size;
    }
  }
}

// Another program cuts the input short while the MP3 repair reads it: the
// repair fails with its code and leaves nothing behind, no crash, no short
// output taken for a repair.
TEST_F(OutputSafety, Mp3RepairOfAnInputCutShortUnderItFails) {
  std::string clip = makeClip(dir_.file("clip.flv"), "-c:v flv -q:v 2 -c:a libmp3lame -b:a 128k", 10, 44100);
  const std::string in = dir_.file("big.flv");
  TempDir out;
  int cut = 0;
  for (int attempt = 0; attempt < 5 && cut < 2; ++attempt) {
    loopFlv(clip, in, int64_t{192} << 20);
    pid_t pid = startGroup({tagmendPath(), in, out.file("out")});
    ASSERT_GT(pid, 0);
    // Once the output under its temporary name holds some MiB, the input
    // is cut to 1 MiB: far behind where the repair reads.
    bool truncated = false;
    int status = 0;
    for (;;) {
      if (waitpid(pid, &status, WNOHANG) == pid) break;
      for (const std::string& name : listDir(out.path())) {
        std::error_code error;
        if (!truncated && fs::file_size(out.file(name), error) > (8u << 20) && !error) {
          fs::resize_file(in, 1 << 20);
          truncated = true;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_TRUE(WIFEXITED(status)) << "attempt " << attempt << ": ended by signal " << WTERMSIG(status);
    if (!truncated || WEXITSTATUS(status) == 0) {
      // Done before the cut (a fast machine): a whole repair, and again.
      EXPECT_FALSE(truncated) << "attempt " << attempt << ": a repair of an input cut short succeeded";
      fs::remove(out.file("out.flv"));
      continue;
    }
    ++cut;
    EXPECT_EQ(WEXITSTATUS(status), 4) << "attempt " << attempt;
    EXPECT_EQ(listDir(out.path()), std::vector<std::string>{}) << "attempt " << attempt;
  }
  EXPECT_GT(cut, 0) << "every repair ended before the input could be cut";
}

}  // namespace
}  // namespace e2e
