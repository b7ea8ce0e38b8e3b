// tagmend and the re-timers on damaged inputs: files cut short, tag headers
// flipped, sizes and offsets that lie, deep or huge script data, numbers that
// are no finite values, timestamps that run backwards. Each is made by
// scripts/make-damaged.py from a few ffmpeg-made files. Whatever the damage:
// no crash, no sanitizer report, no hang, an exit code from the table, the
// input byte for byte as it was, and any output a well-formed FLV.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "retime/retime.h"
#include "tests/support/e2e.h"

namespace e2e {
namespace {

// The well-formed files the damage starts from: 1 s clips, one per kind of
// repair, and one without audio.
struct Base {
  const char* name;
  const char* codecs;
  int sampleRate;
};
constexpr Base kBases[] = {
    {"mp3_h263", "-c:v flv -c:a libmp3lame -b:a 32k", 22050},
    {"pcm_h263", "-c:v flv -c:a pcm_s16be", 11025},
    {"nelly_h263", "-c:v flv -c:a nellymoser", 8000},
    {"video_only", "-c:v flv -an", 22050},
};

// A sanitizer that finds something exits with this code, so that its report
// is never mistaken for one of tagmend's own exit codes.
constexpr int kSanitizerExit = 86;

std::vector<std::string> sanitizerEnvironment() {
  auto with = [](const char* name, const char* extra) {
    const char* now = std::getenv(name);
    return std::string(name) + "=" + (now ? std::string(now) + ":" : "") + extra;
  };
  return {with("ASAN_OPTIONS", "exitcode=86"), with("UBSAN_OPTIONS", "exitcode=86")};
}

class DamagedInputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveTool("ffmpeg") || !haveTool("python3")) return;
    dir_ = new TempDir;
    std::vector<std::string> argv = {"python3", sourceDir() + "/scripts/make-damaged.py",
                                     dir_->file("damaged")};
    for (const Base& b : kBases) {
      argv.push_back(makeWithFfmpeg(dir_->file(std::string(b.name) + ".flv"),
          "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=" +
          std::to_string(b.sampleRate) + " -t 1 " + b.codecs + " -fflags +bitexact -f flv"));
    }
    RunResult made = run(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    for (const std::string& name : listDir(dir_->file("damaged")))
      files_.push_back(dir_->file("damaged/" + name));
    track_ = makeWithFfmpeg(dir_->file("track.mp3"),
                            "-f lavfi -i sine=sample_rate=22050 -t 1 -c:a libmp3lame -b:a 32k -f mp3");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    files_.clear();
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg or python3 missing";
  }

  static bool isBase(const std::string& path, const char* base) {
    return std::filesystem::path(path).filename().string().rfind(std::string(base) + "__", 0) == 0;
  }
  static bool convertsAudio(const std::string& path) {
    return isBase(path, "pcm_h263") || isBase(path, "nelly_h263");
  }

  // Runs tagmend at exe on input with the prefix out in a fresh folder and
  // checks everything a damaged input must leave as it was.
  static void runAndCheck(const std::string& exe, const std::string& input,
                          const std::vector<std::string>& env, std::map<int, int>* exitCodes) {
    SCOPED_TRACE(input);
    std::vector<uint8_t> before = readBytes(input);
    TempDir out;
    RunResult r = run({exe, input, out.file("out")}, out.path(), env, 60);
    ++(*exitCodes)[r.exitCode];
    EXPECT_GE(r.exitCode, 0);
    EXPECT_LE(r.exitCode, 7) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kBanner);
    EXPECT_TRUE(readBytes(input) == before) << "input modified";
    // Only the outputs' own names, never a file left half-way.
    for (const std::string& name : listDir(out.path()))
      EXPECT_TRUE(name == "out.flv" || name == "out.mp3") << "left behind: " << name;
    if (r.exitCode == 0 && fileExists(out.file("out.flv"))) {
      Flv written = readFlv(out.file("out.flv"));
      EXPECT_TRUE(written.ok) << written.problem;
    }
  }

  static TempDir* dir_;
  static std::vector<std::string> files_;
  static std::string track_;
};

TempDir* DamagedInputs::dir_ = nullptr;
std::vector<std::string> DamagedInputs::files_;
std::string DamagedInputs::track_;

TEST_F(DamagedInputs, ThereAreEnoughOfEveryClass) {
  std::map<std::string, int> perClass;
  for (const std::string& f : files_) {
    std::string name = std::filesystem::path(f).stem().string();
    std::string cls = name.substr(name.find("__") + 2);
    ++perClass[cls.substr(0, cls.rfind('_'))];
  }
  EXPECT_GE(files_.size(), 300u);
  for (const char* cls : {"truncated", "flipped", "datasize", "prevsize", "zerolen", "dataoffset",
                          "amf", "nonfinite", "timestamps", "flags", "garbage"})
    EXPECT_GE(perClass[cls], 8) << cls;
  EXPECT_GE(perClass["gapsum"], 4);
}

// The MP3 repair runs whole; the PCM and Nellymoser flows are run by a copy of
// tagmend with no converter beside it, so that they probe the input and fail
// quickly (the re-timers have a test of their own below).
TEST_F(DamagedInputs, TagmendEndsCleanlyOnEveryFile) {
  TempDir lone;
  std::filesystem::copy_file(tagmendPath(), lone.file("tagmend"));
  std::vector<std::string> env = sanitizerEnvironment();
  std::vector<std::string> loneEnv = env;
  loneEnv.push_back("LD_LIBRARY_PATH=" + binDir());
  std::map<int, int> exitCodes;
  for (const std::string& f : files_) {
    if (convertsAudio(f)) {
      runAndCheck(lone.file("tagmend"), f, loneEnv, &exitCodes);
    } else {
      runAndCheck(tagmendPath(), f, env, &exitCodes);
    }
  }
  std::string summary;
#if defined(__GNUC__) && !defined(__clang__)
// g++ 12 at -O3 takes the inlined string concatenation for overlapping
// copies of exabytes (GCC bug 105329).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
  for (auto [code, count] : exitCodes) summary += " " + std::to_string(code) + ":" + std::to_string(count);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  RecordProperty("exit_codes", summary);
  std::cout << files_.size() << " damaged files; exit code:count" << summary << "\n";
  // The damage reaches the repairs, not only the probe.
  EXPECT_GT(exitCodes[0], 0);
}

// One audio tag in the middle of an MP3 file says it is 3000 bytes longer
// than it is, which swallows the tags after it unless its PreviousTagSize is
// checked: the repair loses that tag and keeps every other one.
TEST_F(DamagedInputs, ARaisedDataSizeCostsOnlyThatTag) {
  const std::string base = dir_->file("mp3_h263.flv");
  Flv in = readFlv(base);
  ASSERT_TRUE(in.ok) << in.problem;
  std::vector<const Tag*> audio = tagsOfType(in, 8);
  const Tag& damaged = *audio[audio.size() / 2];
  std::vector<uint8_t> bytes = readBytes(base);
  const size_t at = static_cast<size_t>(damaged.offset) + 1;
  const uint32_t raised = static_cast<uint32_t>(damaged.data.size()) + 3000;
  bytes[at] = uint8_t(raised >> 16), bytes[at + 1] = uint8_t(raised >> 8), bytes[at + 2] = uint8_t(raised);
  TempDir work;
  writeBytes(work.file("in.flv"), bytes);
  RunResult r = run({tagmendPath(), work.file("in.flv"), work.file("out")}, work.path());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  Flv out = readFlv(work.file("out.flv"));
  ASSERT_TRUE(out.ok) << out.problem;
  EXPECT_EQ(tagsOfType(out, 8).size(), audio.size() - 1);
  EXPECT_EQ(tagsOfType(out, 9).size(), tagsOfType(in, 9).size());
  for (const Tag* t : tagsOfType(out, 8)) EXPECT_NE(t->data.size(), damaged.data.size() + 3000);
  std::string errors;
  EXPECT_TRUE(ffprobeReads(work.file("out.flv"), &errors)) << errors;
}

// A 12 MiB script tag in the middle, read under a limit on the memory the
// program may take that the clip alone stays well within: the allocation
// for the large tag fails, and that is a failed read, not the end of the
// input. tagmend fails (4) and publishes nothing rather than half the tags;
// the report names the file (exit 2) rather than measure half of it.
TEST_F(DamagedInputs, MemoryRunningOutOnALargeTagFailsTheRun) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit a limit on the address space";
#endif
  Flv in = readFlv(dir_->file("mp3_h263.flv"));
  ASSERT_TRUE(in.ok) << in.problem;
  Tag large;
  large.type = 18;
  large.data = {2, 0, 6, 'o', 'n', 'J', 'u', 'n', 'k'};
  large.data.resize(12 << 20, 0);
  in.tags.insert(in.tags.begin() + static_cast<long>(in.tags.size() / 2), large);
  TempDir work;
  writeFlv(work.file("large.flv"), in);
  auto limited = [&](const std::vector<std::string>& argv) {
    std::vector<std::string> full = {"sh", "-c", "ulimit -v 20000 && exec \"$@\"", "sh"};
    full.insert(full.end(), argv.begin(), argv.end());
    return run(full, work.path());
  };
  RunResult small = limited({tagmendPath(), dir_->file("mp3_h263.flv"), work.file("small")});
  ASSERT_EQ(small.exitCode, 0) << "the limit is too low for the clip itself: " << small.err;
  RunResult r = limited({tagmendPath(), work.file("large.flv"), work.file("out")});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(listDir(work.path()), (std::vector<std::string>{"large.flv", "small.flv"}));
  RunResult report = limited({binDir() + "/tagmend-report", work.file("large.flv")});
  EXPECT_EQ(report.exitCode, 2);
  EXPECT_EQ(report.err, "tagmend-report: " + work.file("large.flv") + " cannot be read to its end\n");
}

// Runs fn in a child process; false (with the reason) when the child does not
// exit normally with 0 within the time given.
testing::AssertionResult inChild(const std::function<void()>& fn, int timeoutSeconds) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return testing::AssertionFailure() << "fork failed";
  if (pid == 0) {
    fn();
    _exit(0);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return testing::AssertionFailure() << "still running after " << timeoutSeconds << " s";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (WIFSIGNALED(status)) return testing::AssertionFailure() << "killed by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) != 0) return testing::AssertionFailure() << "exit code " << WEXITSTATUS(status);
  return testing::AssertionSuccess();
}

// Both video re-timers on every damaged file, whatever its audio: they must
// take any input the probe lets through to them.
TEST_F(DamagedInputs, ReTimersEndCleanlyOnEveryFile) {
  std::vector<uint8_t> track = readBytes(track_);
  for (const std::string& f : files_) {
    SCOPED_TRACE(f);
    std::vector<uint8_t> before = readBytes(f);
    TempDir out;
    std::string flv = out.file("out.flv");
    EXPECT_TRUE(inChild([&] {
      retimeNellymoserVideo(track_.c_str(), f.c_str(), flv.c_str());
      std::filesystem::remove(flv);
      retimeToConvertedAudio(track_.c_str(), f.c_str(), flv.c_str());
    }, 30));
    EXPECT_TRUE(readBytes(f) == before) << "input modified";
    for (const std::string& name : listDir(out.path()))
      EXPECT_EQ(name, "out.flv") << "left behind";
  }
  EXPECT_TRUE(readBytes(track_) == track) << "the MP3 was modified";
}

// A sample of the PCM and Nellymoser files through the whole flow, converter
// included: it reads the same damaged audio.
TEST_F(DamagedInputs, ConverterFlowsEndCleanlyOnASample) {
  if (!fileExists(binDir() + "/tonecast.exe")) GTEST_SKIP() << "tonecast.exe not built";
  std::vector<std::string> env = sanitizerEnvironment();
  std::map<int, int> exitCodes;
  int i = 0;
  for (const std::string& f : files_) {
    // The 7 MB gap files have a test of their own below.
    if (f.find("__gapsum_") != std::string::npos) continue;
    if (convertsAudio(f) && i++ % 10 == 0) runAndCheck(tagmendPath(), f, env, &exitCodes);
  }
  EXPECT_GT(exitCodes[0], 0);
}

// One gap of 2^32-1 ms (49.7 days) between two PCM tags: the converter must
// not spend hours and gigabytes of disk on its silence.
TEST_F(DamagedInputs, AGapOfFortyNineDaysEndsQuickly) {
  if (!fileExists(binDir() + "/tonecast.exe")) GTEST_SKIP() << "tonecast.exe not built";
  Flv f;
  Tag video{9, 0, {0x22, 0, 0, 0}, 0};
  f.tags = {video, Tag{8, 0, {}, 0}, Tag{8, 0xFFFFFFFFu, {0x0E, 0, 0}, 0}, video};
  f.tags.back().timestamp = 40;
  TempDir work;
  std::string in = work.file("in.flv");
  writeFlv(in, f);
  std::vector<uint8_t> before = readBytes(in);
  // tagmend and the converter in a process group of their own, so that a
  // converter still running at the deadline is ended with it.
  std::string out = work.file("out");
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);
    execl(tagmendPath().c_str(), "tagmend", in.c_str(), out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  bool ended = false;
  while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(-pid, SIGKILL);
  if (!ended) waitpid(pid, &status, 0);
  EXPECT_TRUE(ended) << "still running after 60 s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 7) << status;
  EXPECT_TRUE(readBytes(in) == before);
  for (const std::string& name : listDir(work.path()))
    EXPECT_LT(std::filesystem::file_size(work.file(name)), 64u << 20) << name;
}

}  // namespace
}  // namespace e2e
