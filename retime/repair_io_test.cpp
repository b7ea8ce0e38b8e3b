#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/file.h"
#include "retime/retime.h"
#include "platform/testing/flv_builder.h"

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
  testing_flv::Flv out = testing_flv::readFlv(dir.file("out.flv"));
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
  EXPECT_TRUE(testing_flv::readFlv(dir.file("out.flv")).ok);
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("out.flv")));
}

// A device has no contents to replace whole, nor a folder to stage in: it
// is refused, never written through nor renamed over.
TEST(RepairOutput, AnOutputThatIsADeviceIsRefused) {
  const bool posix = std::filesystem::exists("/dev/null");
  TempDir dir;
  FlvBuilder().audio(0, 0x52, {1}).video(10).save(dir.file("in.flv"));
  // Windows's DOS devices answer to their name with any extension.
  for (std::string device : {posix ? "/dev/null" : "NUL", posix ? "/dev/null" : "nul.flv"})
    EXPECT_EQ(retimeNellymoserVideo("", dir.file("in.flv").c_str(), device.c_str()), 0) << device;
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"in.flv"});
  if (!posix) return;
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  std::filesystem::create_symlink("/dev/null", dir.file("out.flv"));
  EXPECT_EQ(retimeNellymoserVideo("", dir.file("in.flv").c_str(), dir.file("out.flv").c_str()), 0);
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"in.flv", "out.flv"}));
}

// A link at the final path: the file it names is replaced, the link stays,
// and the new file keeps the old one's permissions.
TEST(RepairOutput, ALinkAtTheFinalPathHasItsTargetReplaced) {
  TempDir dir;
  std::vector<uint8_t> frame = testing_flv::mp3Frame(2, 4, 0);
  FlvBuilder().audio(0, 0x2A, frame).video(10).save(dir.file("in.flv"));
  std::filesystem::create_directory(dir.file("kept"));
  testing_flv::writeFile(dir.file("kept/old.flv"), {'o', 'l', 'd'});
  std::filesystem::permissions(dir.file("kept/old.flv"), std::filesystem::perms(0640));
  std::error_code noLinks;
  std::filesystem::create_symlink("kept/old.flv", dir.file("out.flv"), noLinks);
  if (noLinks) GTEST_SKIP() << "no symbolic links here";
  ASSERT_EQ(rebuildMp3Timeline(dir.file("in.flv").c_str(), dir.file("out").c_str()), 1);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.flv")));
  EXPECT_TRUE(testing_flv::readFlv(dir.file("kept/old.flv")).ok);
  EXPECT_EQ(namesIn(dir.file("kept")), std::vector<std::string>{"old.flv"});
  if (std::filesystem::exists("/dev/null")) {  // POSIX permissions
    EXPECT_EQ(std::filesystem::status(dir.file("kept/old.flv")).permissions(), std::filesystem::perms(0640));
  }
}

}  // namespace
