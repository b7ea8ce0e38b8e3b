// The converter supervision at its real pace: 60-second slices. Registered
// only with -DTAGMEND_SLOW_TESTS=ON (label "slow").
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

class SlowConverter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    for (const char* name : {"tagmend", "libTarvel.so", "libQuennet.so"}) install(name, name);
    install("test_converter", "tonecast.exe");
    input_ = makeWithFfmpeg(dir_.file("in.flv"),
                            "-f lavfi -i sine=duration=1:sample_rate=22050 -c:a pcm_u8 -f flv");
    mp3_ = makeWithFfmpeg(dir_.file("known.mp3"), "-f lavfi -i sine=duration=1 -c:a libmp3lame -f mp3");
  }
  void install(const std::string& from, const std::string& to) {
    writeBytes(dir_.file(to), readBytes(binDir() + "/" + from));
    ::chmod(dir_.file(to).c_str(), 0755);
  }
  RunResult repair(const std::string& mode) {
    return run({dir_.file("tagmend"), input_, dir_.file("out")}, dir_.path(),
               {"TEST_CONVERTER_MODE=" + mode, "TEST_JOB_INPUT=" + input_,
                "TEST_JOB_OUTPUT=" + dir_.file("out.mp3"), "TEST_JOB_INFO=22050 1 8", "TEST_JOB_MP3=" + mp3_},
               200);
  }
  TempDir dir_;
  std::string input_, mp3_;
};

TEST_F(SlowConverter, ProgressingConverterOutlivesTheFirstSlice) {
  const auto start = std::chrono::steady_clock::now();
  RunResult r = repair("slow");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(70));
  EXPECT_TRUE(fileExists(dir_.file("out.mp3")));
}

TEST_F(SlowConverter, StalledConverterIsEndedAfterTheFirstSlice) {
  const auto start = std::chrono::steady_clock::now();
  RunResult r = repair("stall");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_GE(took, std::chrono::seconds(60));
  EXPECT_LT(took, std::chrono::seconds(90));
}

}  // namespace
}  // namespace e2e
