#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/file.h"
#include "retime/retime.h"
#include "retime/testing/flv_builder.h"

namespace {

using testing_flv::FlvBuilder;
using testing_flv::TempDir;

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Gaps of 49 days each, back to back, until their sum passes anything a
// 64-bit tick count can hold.
void writeEndlessGaps(const std::string& path) {
  FlvBuilder b;
  b.video(0);
  for (int i = 0; i < 60000; ++i) {
    b.audio(0, 0x52, {}).audio(0xFFFFFFFF, 0x52, {1});
  }
  b.video(5).save(path);
}

TEST(RepairOutput, GapsSummingPastTheTimelineFailAndKeepTheOldOutput) {
  TempDir dir;
  writeEndlessGaps(dir.file("in.flv"));
  testing_flv::writeFile(dir.file("out.flv"), {'o', 'l', 'd'});
  EXPECT_EQ(retimeNellymoserVideo("", dir.file("in.flv").c_str(), dir.file("out.flv").c_str()), 0);
  EXPECT_EQ(testing_flv::readFile(dir.file("out.flv")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"in.flv", "out.flv"}));
}

TEST(RepairOutput, SuccessReplacesTheOldOutputAndLeavesNothingElse) {
  TempDir dir;
  std::vector<uint8_t> frame = testing_flv::mp3Frame(2, 4, 0);
  FlvBuilder().audio(0, 0x2A, frame).video(10).save(dir.file("in.flv"));
  testing_flv::writeFile(dir.file("out.flv"), {'o', 'l', 'd'});
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  testing_flv::ParsedFlv out = testing_flv::parseFlv(dir.file("out.flv"));
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"in.flv", "out.flv"}));
}

TEST(RepairOutput, LinksPlantedAtTheStagingNameAreNeverFollowed) {
  TempDir dir;
  std::vector<uint8_t> frame = testing_flv::mp3Frame(2, 4, 0);
  FlvBuilder().audio(0, 0x2A, frame).video(10).save(dir.file("in.flv"));
  testing_flv::writeFile(dir.file("victim"), {'m', 'i', 'n', 'e'});
  std::string stem = dir.path() + "/.tagmend-" + std::to_string(platform::currentThreadId());
  std::error_code noLinks;
  for (int i = 0; i < 3 && !noLinks; ++i)
    std::filesystem::create_symlink(dir.file("victim"), stem + "-" + std::to_string(i) + ".part", noLinks);
  if (noLinks) GTEST_SKIP() << "no symbolic links here";
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_EQ(testing_flv::readFile(dir.file("victim")), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
  EXPECT_TRUE(testing_flv::parseFlv(dir.file("out.flv")).ok);
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("out.flv")));
}

TEST(RepairOutput, AnOutputThatIsADeviceIsWrittenThroughNotReplaced) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  FlvBuilder().audio(0, 0x52, {1}).video(10).save(dir.file("in.flv"));
  EXPECT_EQ(retimeNellymoserVideo("", dir.file("in.flv").c_str(), "/dev/full"), 0);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

}  // namespace
