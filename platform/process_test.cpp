#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform {
namespace {

std::unique_ptr<Process> shell(const std::string& script) { return startProcess("/bin/sh", {"-c", script}); }

uint32_t codeOf(Process& process) {
  uint32_t code = 0xFFFFFFFF;
  EXPECT_TRUE(process.exitCode(&code));
  return code;
}

// No child of this test process is left, running or as a zombie.
bool noChildrenLeft() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 && errno == ECHILD;
}

TEST(ProcessTest, ReportsExitCodeAgainAndAgain) {
  auto process = shell("exit 7");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 7u);
  EXPECT_EQ(codeOf(*process), 7u);
  EXPECT_EQ(process->wait(0), WaitResult::kEnded);
  process.reset();
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessTest, ExitCodeSurvivesAnIgnoredSigchldFromOurParent) {
  ::signal(SIGCHLD, SIG_IGN);  // as a parent that ignores it passes it on to us
  auto process = shell("exit 0");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 0u);
  ::signal(SIGCHLD, SIG_DFL);
}

TEST(ProcessTest, WaitTimesOutWhileRunningAndWakesWhenChildEnds) {
  auto process = shell("sleep 0.3");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(20), WaitResult::kTimedOut);
  EXPECT_EQ(codeOf(*process), kStillActive);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(process->wait(60000), WaitResult::kEnded);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(codeOf(*process), 0u);
}

TEST(ProcessTest, TerminatedChildReportsTheGivenCode) {
  auto process = shell("sleep 30");
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(process->terminate(3));
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 3u);
  EXPECT_FALSE(process->terminate(3));  // already gone
}

TEST(ProcessTest, ReleasingAKilledChildLeavesNoZombie) {
  auto process = shell("sleep 30");
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(process->terminate(3));
  uint32_t code = 0;
  ASSERT_TRUE(process->exitCode(&code));
  EXPECT_TRUE(code == 3u || code == kStillActive);
  process.reset();
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessTest, CrashReportsNonZero) {
  auto process = shell("kill -SEGV $$");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 128u + 11u);  // SIGSEGV, as a shell reports it
}

TEST(ProcessTest, MissingProgramIsNotStarted) {
  EXPECT_EQ(startProcess("/nonexistent/dir/tonecast.exe", {"NAME"}), nullptr);
  EXPECT_EQ(startProcess("", {}), nullptr);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessTest, ChildGetsArgumentsAndInheritsNoDescriptors) {
  const int fd = ::open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(fd, 3);
  // Passed as they are, quotes and backslashes included: no command line
  // is built and split again.
  const std::string argument = "two \"quoted\" words \\\"";
  const std::string check = "test \"$0\" = 'two \"quoted\" words \\\"' && test ! -e /proc/self/fd/" +
                            std::to_string(fd);
  auto process = startProcess("/bin/sh", {"-c", check, argument});
  ::close(fd);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 0u);
}

TEST(ProgramLocationTest, FullPathWithFileNamePosition) {
  ProgramLocation location;
  ASSERT_TRUE(programLocation(&location));
  ASSERT_FALSE(location.fullPath.empty());
  EXPECT_EQ(location.fullPath[0], '/');
  EXPECT_EQ(location.fullPath.substr(location.fileNamePos), "platform_test");
  EXPECT_EQ(location.fullPath[location.fileNamePos - 1], '/');
}

}  // namespace
}  // namespace platform
