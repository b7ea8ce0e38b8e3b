#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/testing/flv_builder.h"

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
  auto process = shell("exec sleep 30");
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(process->terminate(3));
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 3u);
  EXPECT_FALSE(process->terminate(3));  // already gone
}

TEST(ProcessTest, ReleasingAKilledChildLeavesNoZombie) {
  auto process = shell("exec sleep 30");
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

// Under nohup a hang-up must not end the child while we survive it: what
// our parent ignored stays ignored in the child.
TEST(ProcessTest, SignalIgnoredByOurParentStaysIgnoredInTheChild) {
  ::signal(SIGHUP, SIG_IGN);
  auto process = shell("kill -HUP $$; exit 0");
  ::signal(SIGHUP, SIG_DFL);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->wait(10000), WaitResult::kEnded);
  EXPECT_EQ(codeOf(*process), 0u);
}

// A quote ends a Windows program path early, and the rest would start
// another program: such a path is refused everywhere alike.
TEST(ProcessTest, ProgramPathWithAQuoteIsRefused) {
  EXPECT_EQ(startProcess("/bin/\"sh", {"-c", "exit 0"}), nullptr);
  EXPECT_TRUE(noChildrenLeft());
}

// The starter killed outright takes the child with it.
TEST(ProcessTest, ChildEndsWhenItsStarterIsKilled) {
  testing_flv::TempDir dir;
  const std::string pidFile = dir.file("pid");
  const pid_t starter = ::fork();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    auto child = startProcess("/bin/sh", {"-c", "echo $$ > " + pidFile + ".new && mv " + pidFile +
                                                    ".new " + pidFile + " && exec sleep 30"});
    while (child != nullptr && ::access(pidFile.c_str(), F_OK) != 0) ::usleep(1000);
    ::kill(::getpid(), SIGKILL);
  }
  ASSERT_EQ(::waitpid(starter, nullptr, 0), starter);
  FILE* f = std::fopen(pidFile.c_str(), "r");
  ASSERT_NE(f, nullptr);
  int child = 0;
  ASSERT_EQ(std::fscanf(f, "%d", &child), 1);
  std::fclose(f);
  // Gone, or a zombie its new parent has yet to reap.
  auto alive = [child] {
    FILE* stat = std::fopen(("/proc/" + std::to_string(child) + "/stat").c_str(), "r");
    if (stat == nullptr) return false;
    int pid = 0;
    char name[256] = {}, state = 0;
    const int n = std::fscanf(stat, "%d %255s %c", &pid, name, &state);
    std::fclose(stat);
    return n == 3 && state != 'Z' && state != 'X';
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (alive() && std::chrono::steady_clock::now() < deadline) ::usleep(10000);
  EXPECT_FALSE(alive());
  if (alive()) ::kill(child, SIGKILL);
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
