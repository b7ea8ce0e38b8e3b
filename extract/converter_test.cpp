#include "extract/converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "extract/job_mapping.h"
#include "platform/file.h"

namespace {

using platform::WaitResult;
using Log = std::vector<std::string>;

class FakeMapping : public platform::SharedMemory {
 public:
  explicit FakeMapping(Log* log) : log_(log) {}
  void* view() const override { return nullptr; }
  void close() override {
    if (!closed_) log_->push_back("close mapping");
    closed_ = true;
  }
  void removeName() override { log_->push_back("remove name"); }

 private:
  Log* log_;
  bool closed_ = false;
};

// One slice of a scripted converter: what happens to progress while the
// slice runs, and how the wait ends.
struct Slice {
  WaitResult result;
  std::function<void(ConversionJob*)> during = nullptr;
};

class FakeProcess : public platform::Process {
 public:
  FakeProcess(Log* log, ConversionJob* job, std::vector<Slice> slices, uint32_t code, bool codeReadable)
      : log_(log), job_(job), slices_(std::move(slices)), code_(code), codeReadable_(codeReadable) {}
  ~FakeProcess() override { log_->push_back("release process"); }

  static constexpr uint32_t kId = 4242;
  uint32_t id() const override { return kId; }

  WaitResult wait(uint32_t timeoutMs) override {
    log_->push_back("wait " + std::to_string(timeoutMs));
    if (next_ >= slices_.size() && terminated_) return WaitResult::kEnded;
    if (next_ >= slices_.size()) {
      ADD_FAILURE() << "waited past the script";
      return WaitResult::kFailed;
    }
    const Slice& slice = slices_[next_++];
    if (slice.during) slice.during(job_);
    return slice.result;
  }
  bool terminate(uint32_t exitCode) override {
    log_->push_back("terminate " + std::to_string(exitCode));
    code_ = exitCode;
    terminated_ = true;
    return true;
  }
  bool exitCode(uint32_t* code) override {
    log_->push_back("exit code");
    if (codeReadable_) *code = code_;
    return codeReadable_;
  }

 private:
  Log* log_;
  ConversionJob* job_;
  std::vector<Slice> slices_;
  size_t next_ = 0;
  uint32_t code_;
  bool codeReadable_;
  bool terminated_ = false;  // gone at the next wait
};

auto setProgress(double value) {
  return [value](ConversionJob* job) { job->progress = value; };
}

class RunConverterTest : public ::testing::Test {
 protected:
  RunConverterTest() {
    std::memset(&job_, 0, sizeof job_);
    std::memset(&info_, 0, sizeof info_);
    info_.sampleRate = 44100;
  }

  // Runs the converter whose process follows `slices` and then holds `code`.
  int run(std::vector<Slice> slices, uint32_t code, bool codeReadable = true, bool starts = true,
          uint32_t sliceMs = 5, const char* mp3Path = "out.mp3") {
    auto start = [&](const std::string& program,
                     const std::vector<std::string>& arguments) -> std::unique_ptr<platform::Process> {
      log_.push_back("start " + program);
      for (const std::string& argument : arguments) log_.back() += " " + argument;
      // Everything the converter reads is in place before it exists.
      EXPECT_STREQ(job_.inputPath, "in.flv");
      EXPECT_STREQ(job_.outputPath, mp3Path);
      EXPECT_EQ(job_.codecId, kJobCodecMp3);
      if (!starts) return nullptr;
      return std::make_unique<FakeProcess>(&log_, &job_, std::move(slices), code, codeReadable);
    };
    return runConverter("in.flv", info_, std::make_unique<FakeMapping>(&log_), &job_,
                        "/opt/tone cast/tonecast.exe", "MY_TONECAST_MM_42", mp3Path, start, sliceMs);
  }

  Log log_;
  ConversionJob job_;
  StreamInfo info_;
};

const char* kStart = "start /opt/tone cast/tonecast.exe MY_TONECAST_MM_42";
// What follows a converter found stalled or lost: it is ended and waited for.
const Log kEnded = {"exit code", "terminate 3", "wait 10000", "close mapping", "exit code", "release process"};

Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(RunConverterTest, ExitZeroWithinFirstSliceSucceedsWithoutProgress) {
  EXPECT_EQ(run({{WaitResult::kEnded}}, 0), 1);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "close mapping", "exit code", "release process"}));
}

TEST_F(RunConverterTest, ExitOneFailsThoughItRanToItsEnd) {
  EXPECT_EQ(run({{WaitResult::kEnded}}, 1), 0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "close mapping", "exit code", "release process"}));
}

TEST_F(RunConverterTest, CannotStartClosesMappingAndFails) {
  EXPECT_EQ(run({}, 0, true, false), 0);
  EXPECT_EQ(log_, (Log{kStart, "close mapping"}));
}

TEST_F(RunConverterTest, ZeroProgressAtFirstSliceTerminatesWithoutWaitingAgain) {
  EXPECT_EQ(run({{WaitResult::kTimedOut}}, platform::kStillActive), 0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5"} + kEnded));
}

TEST_F(RunConverterTest, NegativeZeroProgressCountsAsZero) {
  EXPECT_EQ(run({{WaitResult::kTimedOut, setProgress(-0.0)}}, platform::kStillActive), 0);
  EXPECT_EQ(log_[3], "terminate 3");
}

TEST_F(RunConverterTest, NanProgressCountsAsZero) {
  EXPECT_EQ(run({{WaitResult::kTimedOut, setProgress(std::numeric_limits<double>::quiet_NaN())}},
                platform::kStillActive),
            0);
  EXPECT_EQ(log_[3], "terminate 3");
}

TEST_F(RunConverterTest, TerminatedConverterStillActiveAtReadFails) {
  // The end has not come when the code is read: still active, still failure.
  class Lingering : public FakeProcess {
   public:
    using FakeProcess::FakeProcess;
    bool terminate(uint32_t) override { return true; }
  };
  auto start = [&](const std::string&, const std::vector<std::string>&) -> std::unique_ptr<platform::Process> {
    return std::make_unique<Lingering>(&log_, &job_,
                                       std::vector<Slice>{{WaitResult::kTimedOut}, {WaitResult::kTimedOut}},
                                       platform::kStillActive, true);
  };
  EXPECT_EQ(runConverter("in.flv", info_, std::make_unique<FakeMapping>(&log_), &job_, "c", "n", "o",
                         start, 5),
            0);
}

TEST_F(RunConverterTest, ProgressingConverterIsNeverTerminated) {
  std::vector<Slice> slices;
  for (int i = 1; i <= 5; ++i) slices.push_back({WaitResult::kTimedOut, setProgress(0.1 * i)});
  slices.push_back({WaitResult::kEnded});
  EXPECT_EQ(run(slices, 0), 1);
  Log expected{kStart, "wait 5", "remove name"};
  for (int i = 0; i < 5; ++i) expected.push_back("wait 5");
  EXPECT_EQ(log_, (expected + Log{"close mapping", "exit code", "release process"}));
}

TEST_F(RunConverterTest, ProgressSetThenClearedTerminatesAtFirstZeroMark) {
  EXPECT_EQ(run({{WaitResult::kTimedOut, setProgress(0.1)},
                 {WaitResult::kTimedOut, setProgress(0.7)},
                 {WaitResult::kTimedOut, setProgress(0.0)}},
                platform::kStillActive),
            0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "remove name", "wait 5", "wait 5"} + kEnded));
}

// A converter that reported once and then hangs (stopped, or stuck) holds
// tagmend no longer than one whole slice after its last move.
TEST_F(RunConverterTest, ProgressStandingStillForAWholeSliceTerminates) {
  EXPECT_EQ(run({{WaitResult::kTimedOut, setProgress(0.25)},
                 {WaitResult::kTimedOut, setProgress(0.5)},
                 {WaitResult::kTimedOut}},
                platform::kStillActive),
            0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "remove name", "wait 5", "wait 5"} + kEnded));
}

// Until the first report the converter is looked at often; once it has the
// job object open, the object's name goes and the slice runs to its end.
TEST_F(RunConverterTest, JobNameGoesAtTheFirstReportAndTheSliceKeepsItsLength) {
  EXPECT_EQ(run({{WaitResult::kTimedOut}, {WaitResult::kTimedOut, setProgress(0.01)}, {WaitResult::kTimedOut},
                 {WaitResult::kEnded}},
                0, true, true, 1000),
            1);
  EXPECT_EQ(log_, (Log{kStart, "wait 100", "wait 100", "remove name", "wait 800", "wait 1000", "close mapping",
                       "exit code", "release process"}));
}

TEST_F(RunConverterTest, FailedWaitEndsTheConverter) {
  EXPECT_EQ(run({{WaitResult::kTimedOut, setProgress(1.0)}, {WaitResult::kFailed}}, platform::kStillActive), 0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "remove name", "wait 5"} + kEnded));
}

// Ended by itself with a failure, or ended for its stall, the converter's
// partial file goes; the final path is the converter's business.
TEST_F(RunConverterTest, FailedConversionRemovesThePartialFileOnly) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("converter_test_" + std::to_string(platform::currentThreadId()));
  fs::create_directories(dir);
  const std::string mp3 = (dir / "out.mp3").string();
  const std::string partial = converterPartialPath(mp3, FakeProcess::kId);
  EXPECT_EQ(partial, (dir / (".tonecast-" + std::to_string(FakeProcess::kId) + ".part")).string());
  for (bool stalls : {false, true}) {
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::fclose(std::fopen(mp3.c_str(), "wb"));
    if (stalls) {
      EXPECT_EQ(run({{WaitResult::kTimedOut}}, platform::kStillActive, true, true, 5, mp3.c_str()), 0);
    } else {
      EXPECT_EQ(run({{WaitResult::kEnded}}, 1, true, true, 5, mp3.c_str()), 0);
    }
    EXPECT_FALSE(fs::exists(partial)) << stalls;
    EXPECT_TRUE(fs::exists(mp3)) << stalls;
  }
  fs::remove_all(dir);
}

TEST_F(RunConverterTest, FailedWaitAfterConverterExitedZeroSucceeds) {
  EXPECT_EQ(run({{WaitResult::kFailed}}, 0), 1);
}

TEST_F(RunConverterTest, UnreadableExitCodeFails) {
  EXPECT_EQ(run({{WaitResult::kEnded}}, 0, false), 0);
  EXPECT_EQ(log_, (Log{kStart, "wait 5", "close mapping", "exit code", "release process"}));
}

TEST_F(RunConverterTest, ProgressIsNeverWritten) {
  job_.progress = 0.75;
  run({{WaitResult::kEnded}}, 0);
  EXPECT_EQ(job_.progress, 0.75);
}

TEST(RunConverterSliceTest, ProgramWaitsInSixtySecondSlices) {
  Log log;
  ConversionJob job;
  std::memset(&job, 0, sizeof job);
  StreamInfo info{};
  auto start = [&](const std::string&, const std::vector<std::string>&) -> std::unique_ptr<platform::Process> {
    return std::make_unique<FakeProcess>(
        &log, &job, std::vector<Slice>{{WaitResult::kTimedOut, setProgress(0.5)}, {WaitResult::kEnded}}, 0, true);
  };
  EXPECT_EQ(runConverter("i", info, std::make_unique<FakeMapping>(&log), &job, "c", "n", "o", start), 1);
  EXPECT_EQ(log, (Log{"wait 100", "remove name", "wait 59900", "close mapping", "exit code", "release process"}));
}

// The real process layer: a converter that hangs without progress is ended
// after the first slice.
TEST(RunConverterProcessTest, HungConverterIsTerminated) {
  const std::string name = jobMappingName(platform::currentThreadId()) + "_hung";
  ConversionJob* job = nullptr;
  auto mapping = createJobMapping(name.c_str(), &job);
  ASSERT_NE(job, nullptr);
  StreamInfo info{};
  std::string commandLine;
  auto start = [&](const std::string& program, const std::vector<std::string>& arguments) {
    commandLine = platform::windowsCommandLine(program, arguments);
    return platform::startProcess("/bin/sh", {"-c", "exec sleep 30"});
  };
  EXPECT_EQ(runConverter("in.flv", info, std::move(mapping), job, "/x/tonecast.exe", name.c_str(),
                         "out.mp3", start, 50),
            0);
  EXPECT_EQ(commandLine, "\"/x/tonecast.exe\" " + name);
}

}  // namespace
