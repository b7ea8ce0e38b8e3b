// The PCM and Nellymoser repairs through the executable: a copy of tagmend
// beside a test converter named tonecast.exe, which checks the job record
// and its command line, and writes a known MP3 file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

// Inputs made once for all tests: 2 s of test picture and a sine.
class Inputs {
 public:
  Inputs() {
    const std::string video = "-f lavfi -i testsrc=size=64x48:rate=10:duration=2 ";
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=2:sample_rate=";
    pcmVideo = makeWithFfmpeg(dir.file("pcm video.flv"), video + sine + "22050 -c:v flv -c:a pcm_u8 -f flv");
    pcmAudio = makeWithFfmpeg(dir.file("pcm.flv"), sine + "44100 -c:a pcm_s16be -ac 2 -f flv");
    nelly8Video = makeWithFfmpeg(dir.file("nelly8 video.flv"), video + sine + "8000 -c:v flv -c:a nellymoser -f flv");
    nellyAudio = makeWithFfmpeg(dir.file("nelly.flv"), sine + "22050 -c:a nellymoser -f flv");
    nellyVideo = makeWithFfmpeg(dir.file("nelly video.flv"), video + sine + "22050 -c:v flv -c:a nellymoser -f flv");
    // H.264 with B-frames: ffmpeg writes video tags before the first audio tag.
    const std::string h264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p ";
    pcmH264 = makeWithFfmpeg(dir.file("pcm h264.flv"), video + sine + "11025 " + h264 + "-c:a pcm_u8 -f flv");
    nellyH264 = makeWithFfmpeg(dir.file("nelly h264.flv"), video + sine + "44100 " + h264 + "-c:a nellymoser -f flv");
    // The converter's output: a 4 s MP3, twice as long as the inputs' audio.
    knownMp3 = makeWithFfmpeg(dir.file("known.mp3"),
                              "-f lavfi -i sine=frequency=300:duration=4:sample_rate=44100 -c:a libmp3lame -b:a 128k -f mp3");
  }
  TempDir dir;
  std::string pcmVideo, pcmAudio, nelly8Video, nellyAudio, nellyVideo, pcmH264, nellyH264, knownMp3;
};

Inputs* inputs = nullptr;

// "rate channels bits" as the job must carry them: the first audio tag's
// flags byte, read here without the libraries under test.
std::string jobInfo(const std::string& flvPath) {
  const Flv flv = readFlv(flvPath);
  for (const Tag& t : flv.tags) {
    if (t.type != 8 || t.data.empty()) continue;
    const uint8_t flags = t.data[0];
    static const int kRates[] = {5512, 11025, 22050, 44100};
    const int rate = soundFormat(t) == 5 ? 8000 : kRates[(flags >> 2) & 3];
    return std::to_string(rate) + " " + std::to_string((flags & 1) + 1) + " " + ((flags & 2) ? "16" : "8");
  }
  return "";
}

void copyExecutable(const std::string& from, const std::string& to) {
  writeBytes(to, readBytes(from));
  ::chmod(to.c_str(), 0755);
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ExtractFlows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (haveTool("ffmpeg")) inputs = new Inputs;
  }
  static void TearDownTestSuite() {
    delete inputs;
    inputs = nullptr;
  }
  void SetUp() override {
    if (inputs == nullptr) GTEST_SKIP() << "ffmpeg missing";
    install("app");
    ::mkdir(work().c_str(), 0755);
    ::mkdir(elsewhere().c_str(), 0755);
  }

  // A copy of tagmend and its libraries in root/appDir, with the test
  // converter as tonecast.exe unless withConverter is false.
  void install(const std::string& appDir, bool withConverter = true) {
    app_ = std::filesystem::canonical(root_.path()).string() + "/" + appDir;
    std::filesystem::create_directories(app_);
    for (const char* name : {"tagmend", "libTarvel.so", "libQuennet.so"})
      copyExecutable(binDir() + "/" + name, app_ + "/" + name);
    if (withConverter) copyExecutable(binDir() + "/test_converter", app_ + "/tonecast.exe");
  }

  std::string work() const { return root_.file("work"); }
  std::string elsewhere() const { return root_.file("elsewhere"); }
  std::string report() const { return root_.file("report.txt"); }

  // Runs the installed tagmend from another directory on input, with prefix
  // work/<name>; the converter expects exactly what tagmend must hand it.
  // TAGMEND_VERBOSE is verbose; the converter writes mp3 (the known 4 s MP3
  // when empty).
  RunResult repair(const std::string& input, const std::string& name, const std::string& mode = "check",
                   const std::string& verbose = "", const std::string& mp3 = "") {
    const std::string prefix = work() + "/" + name;
    return run({app_ + "/tagmend", input, prefix}, elsewhere(),
               {"TAGMEND_VERBOSE=" + verbose, "TEST_CONVERTER_MODE=" + mode, "TEST_CONVERTER_REPORT=" + report(),
                "TEST_JOB_PROGRAM=" + app_ + "/tonecast.exe", "TEST_JOB_INPUT=" + input,
                "TEST_JOB_OUTPUT=" + prefix + ".mp3", "TEST_JOB_INFO=" + jobInfo(input),
                "TEST_JOB_MP3=" + (mp3.empty() ? inputs->knownMp3 : mp3)});
  }

  // What the converter reported, its "name" line left out.
  std::string verdict() const {
    std::string text = readText(report());
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("name ", 0) != 0) out += line + "\n";
    return out;
  }

  // The output FLV holds exactly the input's video tags (and metadata), is
  // readable by ffprobe and flvmeta, and its video never steps back.
  void expectVideoOnly(const std::string& input, const std::string& output) {
    const Flv in = readFlv(input);
    const Flv out = readFlv(output);
    ASSERT_TRUE(out.ok) << out.problem;
    EXPECT_EQ(tagsOfType(out, 8).size(), 0u);
    EXPECT_EQ(tagsOfType(out, 9).size(), tagsOfType(in, 9).size());
    std::string errors;
    EXPECT_TRUE(ffprobeReads(output, &errors)) << errors;
    EXPECT_EQ(videoDtsStepsBack(output), "");
    if (haveTool("flvmeta")) {
      FlvmetaCheck check = flvmetaCheck(output);
      EXPECT_EQ(check.errors, 0) << check.json;
    }
  }

  TempDir root_;
  std::string app_;
};

TEST_F(ExtractFlows, PcmWithVideoWritesMp3AndVideoRetimedToIt) {
  const std::string input = inputs->pcmVideo;
  ASSERT_EQ(soundFormat(*tagsOfType(readFlv(input), 8)[0]), 0);
  RunResult r = repair(input, "clip");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(verdict(), "ok\n");
  EXPECT_EQ(listDir(work()), (std::vector<std::string>{"clip.flv", "clip.mp3"}));
  EXPECT_EQ(readBytes(work() + "/clip.mp3"), readBytes(inputs->knownMp3));
  expectVideoOnly(input, work() + "/clip.flv");
  // The converted audio lasts twice as long as the input's: the video
  // follows it, so the last picture moves from about 1.9 s to about 3.8 s.
  const uint32_t last = tagsOfType(readFlv(work() + "/clip.flv"), 9).back()->timestamp;
  EXPECT_GT(last, 3400u);
  EXPECT_LT(last, 4200u);
  EXPECT_TRUE(listDir(elsewhere()).empty());
}

TEST_F(ExtractFlows, PcmWithoutVideoLeavesOnlyTheMp3) {
  ASSERT_EQ(soundFormat(*tagsOfType(readFlv(inputs->pcmAudio), 8)[0]), 0);
  RunResult r = repair(inputs->pcmAudio, "clip");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(verdict(), "ok\n");
  EXPECT_EQ(listDir(work()), std::vector<std::string>{"clip.mp3"});
}

TEST_F(ExtractFlows, Nellymoser8kWithVideoWritesMp3AndVideo) {
  const std::string input = inputs->nelly8Video;
  ASSERT_EQ(soundFormat(*tagsOfType(readFlv(input), 8)[0]), 5);
  RunResult r = repair(input, "clip");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(verdict(), "ok\n");
  EXPECT_EQ(listDir(work()), (std::vector<std::string>{"clip.flv", "clip.mp3"}));
  expectVideoOnly(input, work() + "/clip.flv");
  // The Nellymoser length, not the MP3's, sets the pace: about 2 s.
  const uint32_t last = tagsOfType(readFlv(work() + "/clip.flv"), 9).back()->timestamp;
  EXPECT_LT(last, 2600u);
}

TEST_F(ExtractFlows, NellymoserWithVideoWritesMp3AndVideo) {
  const std::string input = inputs->nellyVideo;
  ASSERT_EQ(soundFormat(*tagsOfType(readFlv(input), 8)[0]), 6);
  RunResult r = repair(input, "clip");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(verdict(), "ok\n");
  expectVideoOnly(input, work() + "/clip.flv");
}

// The video before the first audio tag moves with it: none is stamped after
// the video that follows it.
TEST_F(ExtractFlows, H264WithVideoBeforeTheAudio) {
  for (const std::string& input : {inputs->pcmH264, inputs->nellyH264}) {
    SCOPED_TRACE(input);
    const Flv in = readFlv(input);
    ASSERT_EQ(in.tags[1].type, 9);  // after ffmpeg's onMetaData
    ASSERT_EQ(in.tags[2].type, 9);
    RunResult r = repair(input, "h264");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectVideoOnly(input, work() + "/h264.flv");
  }
}

TEST_F(ExtractFlows, NellymoserWithoutVideoLeavesOnlyTheMp3) {
  ASSERT_EQ(soundFormat(*tagsOfType(readFlv(inputs->nellyAudio), 8)[0]), 6);
  RunResult r = repair(inputs->nellyAudio, "clip");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(listDir(work()), std::vector<std::string>{"clip.mp3"});
}

TEST_F(ExtractFlows, ConverterExitingOneFailsWithTheBranchCode) {
  RunResult pcm = repair(inputs->pcmVideo, "pcm", "fail");
  EXPECT_EQ(pcm.exitCode, 5);
  EXPECT_EQ(pcm.out, kBanner);
  RunResult nelly = repair(inputs->nelly8Video, "nelly", "fail");
  EXPECT_EQ(nelly.exitCode, 6);
  EXPECT_EQ(verdict(), "ok\nok\n");  // the job itself was right
  EXPECT_TRUE(listDir(work()).empty());  // no FLV after a failed conversion
}

// A converter that exits 0 having written nothing, or a file that is not
// MP3, fails the run: an older PREFIX.mp3 stays as it was and no video is
// re-timed to it; the text the converter made is not left.
TEST_F(ExtractFlows, ConverterExitingZeroWithoutAnMp3Fails) {
  const std::string older = work() + "/pcm.mp3";
  writeBytes(older, {'I', 'D', '3', 'o', 'l', 'd'});
  RunResult stale = repair(inputs->pcmVideo, "pcm", "nothing", "1");
  EXPECT_EQ(stale.exitCode, 5);
  EXPECT_EQ(stale.err, "tagmend: converter: " + older + ": exited 0 and left the older MP3 in place\n");
  EXPECT_EQ(readText(older), "ID3old");
  RunResult none = repair(inputs->nelly8Video, "nelly", "nothing");
  EXPECT_EQ(none.exitCode, 6);
  EXPECT_EQ(listDir(work()), std::vector<std::string>{"pcm.mp3"});
  RunResult garbage = repair(inputs->nelly8Video, "nelly", "garbage");
  EXPECT_EQ(garbage.exitCode, 6);
  EXPECT_EQ(listDir(work()), std::vector<std::string>{"pcm.mp3"});
  EXPECT_EQ(verdict(), "ok\nok\nok\n");
}

TEST_F(ExtractFlows, MissingConverterFailsAndWritesNothing) {
  install("bare", false);
  RunResult pcm = repair(inputs->pcmVideo, "clip");
  EXPECT_EQ(pcm.exitCode, 5);
  EXPECT_EQ(pcm.out, kBanner);
  EXPECT_EQ(pcm.err, "");
  EXPECT_EQ(repair(inputs->nellyAudio, "clip").exitCode, 6);
  EXPECT_TRUE(listDir(work()).empty());
  EXPECT_FALSE(fileExists(report()));
}

// Asked for, each failure is told on standard error with its cause; the
// standard output stays the banner alone.
TEST_F(ExtractFlows, VerboseRunsSayWhyTheyFailed) {
  install("bare", false);
  RunResult missing = repair(inputs->pcmVideo, "clip", "check", "1");
  EXPECT_EQ(missing.exitCode, 5);
  EXPECT_EQ(missing.out, kBanner);
  EXPECT_EQ(missing.err, "tagmend: start converter: " + app_ + "/tonecast.exe: No such file or directory\n");
  install("app");
  RunResult failing = repair(inputs->pcmVideo, "clip", "fail", "1");
  EXPECT_EQ(failing.exitCode, 5);
  EXPECT_EQ(failing.err, "tagmend: converter: " + app_ + "/tonecast.exe: exit code 1\n");
  RunResult quiet = repair(inputs->pcmVideo, "clip", "fail", "0");
  EXPECT_EQ(quiet.err, "");
  RunResult unreadable = repair(root_.file("missing.flv"), "clip", "check", "1");
  EXPECT_EQ(unreadable.exitCode, 2);
  EXPECT_EQ(unreadable.err, "tagmend: open input: " + root_.file("missing.flv") + ": No such file or directory\n");
}

TEST_F(ExtractFlows, ProgramPathWithSpacesStartsTheConverterBesideIt) {
  install("my app dir/with spaces");
  RunResult r = repair(inputs->pcmAudio, "spaced");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(verdict(), "ok\n");  // its argv[0] was the whole quoted path
  EXPECT_TRUE(fileExists(work() + "/spaced.mp3"));
}

// A quote would end the Windows command line's program path early; on
// POSIX the old split of that line started another program. Refused.
TEST_F(ExtractFlows, ProgramPathWithAQuoteIsRefused) {
  install("quote\" dir");
  // What the quote's early end would start: it would leave a report.
  copyExecutable(binDir() + "/test_converter", root_.file("quote"));
  RunResult r = repair(inputs->pcmAudio, "quoted");
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_FALSE(fileExists(report()));
  EXPECT_TRUE(listDir(work()).empty());
}

// The job record holds 260 characters of the input path. A longer path, cut
// there, could name another file: it is refused before the job exists.
TEST_F(ExtractFlows, InputPathOver260CharactersIsRefused) {
  std::string dir = root_.path();
  while (dir.size() < 200) dir += "/" + std::string(40, 'd');
  std::filesystem::create_directories(dir);
  const std::string fits = dir + "/" + std::string(260 - dir.size() - 5, 'i') + ".flv";
  const std::string over = dir + "/" + std::string(261 - dir.size() - 5, 'i') + ".flv";
  ASSERT_EQ(fits.size(), 260u);
  std::filesystem::copy_file(inputs->pcmAudio, fits);
  std::filesystem::copy_file(inputs->pcmVideo, over);
  RunResult r = repair(fits, "fits");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(verdict(), "ok\n");  // the converter found the whole path in the job
  std::filesystem::remove(report());
  EXPECT_EQ(repair(over, "pcm").exitCode, 5);
  std::filesystem::remove(over);
  std::filesystem::copy_file(inputs->nelly8Video, over);
  EXPECT_EQ(repair(over, "nelly").exitCode, 6);
  EXPECT_FALSE(fileExists(report()));  // no converter started
  EXPECT_EQ(listDir(work()), std::vector<std::string>{"fits.mp3"});
}

TEST_F(ExtractFlows, OverlongPrefixIsRefused) {
  const std::string prefix(256 - work().size() - 1, 'p');
  RunResult r = repair(inputs->pcmAudio, prefix);
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_FALSE(fileExists(report()));
  EXPECT_EQ(repair(inputs->pcmAudio, prefix.substr(1)).exitCode, 0);
}

TEST_F(ExtractFlows, Mp3PathNamingTheInputIsRefused) {
  const std::string input = work() + "/clip.mp3";
  std::filesystem::copy_file(inputs->pcmAudio, input);
  const std::vector<uint8_t> original = readBytes(input);
  EXPECT_EQ(repair(input, "clip").exitCode, 5);
  EXPECT_EQ(readBytes(input), original);
  EXPECT_FALSE(fileExists(report()));
}

// A recorder that rotates its file while the conversion runs: the MP3 is of
// the old recording, the video would be read from the new one. The run
// fails instead of pairing them.
TEST_F(ExtractFlows, InputReplacedDuringTheConversionFailsTheFlow) {
  for (const std::string& source : {inputs->pcmVideo, inputs->pcmAudio}) {
    const std::string input = root_.file("recording.flv");
    std::filesystem::copy_file(source, input, std::filesystem::copy_options::overwrite_existing);
    RunResult r = repair(input, "clip", "rotate");
    EXPECT_EQ(r.exitCode, 5) << source;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_FALSE(fileExists(work() + "/clip.flv"));
  }
  EXPECT_EQ(verdict(), "ok\nok\n");
}

// Two runs for one prefix at once: the second waits for the first, so the
// pair left is the second run's whole, never its MP3 beside the first
// run's video (which the first run would write after the second's MP3).
TEST_F(ExtractFlows, TwoRunsForOnePrefixLeaveOneRunsPair) {
  const std::string shortMp3 = makeWithFfmpeg(
      root_.file("short.mp3"), "-f lavfi -i sine=frequency=500:duration=1:sample_rate=44100 -c:a libmp3lame -f mp3");
  ASSERT_EQ(repair(inputs->nelly8Video, "alone", "check", "", shortMp3).exitCode, 0);
  RunResult first;
  std::thread firstRun([&] { first = repair(inputs->pcmVideo, "clip", "linger"); });
  // The first converter has written its MP3 and lingers; its video is to come.
  for (int i = 0; i < 2000 && !fileExists(work() + "/clip.mp3"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  RunResult second = repair(inputs->nelly8Video, "clip", "check", "", shortMp3);
  firstRun.join();
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_TRUE(readBytes(work() + "/clip.mp3") == readBytes(shortMp3));
  EXPECT_TRUE(readBytes(work() + "/clip.flv") == readBytes(work() + "/alone.flv"));
  EXPECT_EQ(listDir(work()), (std::vector<std::string>{"alone.flv", "alone.mp3", "clip.flv", "clip.mp3"}));
}

TEST_F(ExtractFlows, SixteenConcurrentRunsUseTheirOwnJobs) {
  constexpr int kRuns = 16;
  std::vector<std::string> prefixes(kRuns);
  std::vector<RunResult> results(kRuns);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    const std::string input = work() + "/in" + std::to_string(i) + ".flv";
    std::filesystem::copy_file(i % 2 ? inputs->pcmAudio : inputs->nellyAudio, input);
    threads.emplace_back([&, i, input] { results[i] = repair(input, "out" + std::to_string(i)); });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(results[i].exitCode, 0) << i << results[i].err;
    EXPECT_TRUE(fileExists(work() + "/out" + std::to_string(i) + ".mp3")) << i;
  }
  std::istringstream lines(readText(report()));
  std::set<std::string> names;
  int oks = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("name ", 0) == 0) names.insert(line);
    oks += line == "ok";
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kRuns));
  EXPECT_EQ(oks, kRuns);
}

}  // namespace
}  // namespace e2e
