#include <gtest/gtest.h>

#include "platform/process.h"

namespace platform {
namespace {

using Items = std::vector<std::string>;

TEST(SplitCommandLineTest, QuotedProgramPathKeepsSpacesAndBackslashes) {
  EXPECT_EQ(splitCommandLine("\"C:\\Program Files\\app\\\" MY_TONECAST_MM_987"),
            (Items{"C:\\Program Files\\app\\", "MY_TONECAST_MM_987"}));
  EXPECT_EQ(splitCommandLine("\"/tmp/a dir/tonecast.exe\" MY_TONECAST_MM_1"),
            (Items{"/tmp/a dir/tonecast.exe", "MY_TONECAST_MM_1"}));
}

TEST(SplitCommandLineTest, UnquotedProgramEndsAtBlank) {
  EXPECT_EQ(splitCommandLine("prog\targ  second"), (Items{"prog", "arg", "second"}));
  EXPECT_EQ(splitCommandLine("prog"), (Items{"prog"}));
  EXPECT_EQ(splitCommandLine("\"unterminated path"), (Items{"unterminated path"}));
}

TEST(SplitCommandLineTest, ArgumentQuotingAndBackslashRules) {
  EXPECT_EQ(splitCommandLine("p \"a b\" c\"d e\"f"), (Items{"p", "a b", "cd ef"}));
  EXPECT_EQ(splitCommandLine("p a\\\\\\\"b"), (Items{"p", "a\\\"b"}));   // 3 + quote
  EXPECT_EQ(splitCommandLine("p \"a\\\\\" b"), (Items{"p", "a\\", "b"}));  // 2 + quote
  EXPECT_EQ(splitCommandLine("p a\\b\\\\c"), (Items{"p", "a\\b\\\\c"}));   // no quote after
  EXPECT_EQ(splitCommandLine("p \"a\"\"b\""), (Items{"p", "a\"b"}));       // doubled quote
  EXPECT_EQ(splitCommandLine("p \"\" x"), (Items{"p", "", "x"}));
  EXPECT_EQ(splitCommandLine("p   "), (Items{"p"}));
}

TEST(WindowsCommandLineTest, QuotedProgramPathThenArguments) {
  EXPECT_EQ(windowsCommandLine("C:\\a b\\tonecast.exe", {"MY_TONECAST_MM_987"}),
            "\"C:\\a b\\tonecast.exe\" MY_TONECAST_MM_987");
  EXPECT_EQ(windowsCommandLine("C:\\a\"b\\tonecast.exe", {"x"}), "");
}

// Whatever an argument holds, the child's C runtime reads back the same.
TEST(WindowsCommandLineTest, ArgumentsComeBackWhole) {
  const Items arguments = {"plain", "two words", "", "a\"b", "tail\\", "\\\"", "c:\\dir\\", "tab\there"};
  Items expected = {"C:\\p q\\x.exe"};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(splitCommandLine(windowsCommandLine(expected[0], arguments)), expected);
}

}  // namespace
}  // namespace platform
