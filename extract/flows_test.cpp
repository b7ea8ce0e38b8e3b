#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/extraction.h"
#include "extract/job_mapping.h"
#include "platform/file.h"
#include "platform/testing/flv_builder.h"

namespace {

// A small FLV: one PCM audio tag (44 kHz, 16-bit, mono) and, when asked, one
// H.263 video key frame.
std::vector<uint8_t> smallFlv(bool withVideo) {
  std::vector<uint8_t> f = {'F', 'L', 'V', 1, static_cast<uint8_t>(withVideo ? 5 : 4), 0, 0, 0, 9, 0, 0, 0, 0};
  auto tag = [&f](uint8_t type, std::vector<uint8_t> data) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    const std::vector<uint8_t> header = {type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0, 0, 0, 0};
    f.insert(f.end(), header.begin(), header.end());
    f.insert(f.end(), data.begin(), data.end());
    const uint32_t previous = n + 11;
    for (int shift : {24, 16, 8, 0}) f.push_back(uint8_t(previous >> shift));
  };
  tag(8, {0x0E, 1, 2, 3, 4, 5, 6, 7, 8});
  if (withVideo) tag(9, {0x12, 0, 0, 0, 0});
  return f;
}

class ExtractionTest : public ::testing::Test {
 protected:
  ExtractionTest() {
    dir_ = scratch_.path();
    services_.locateProgram = [](platform::ProgramLocation* location) {
      location->fullPath = "/opt/tools dir/tagmend";
      location->fileNamePos = 15;
      return true;
    };
    // The converter writes its output as a real one would, and exits 0.
    services_.startProcess = [this](const std::string& program, const std::vector<std::string>& arguments)
        -> std::unique_ptr<platform::Process> {
      commandLines_.push_back(platform::windowsCommandLine(program, arguments));
      return platform::startProcess(
          "/bin/sh", {"-c", "echo mp3 > '" + dir_ + "/clip.mp3'; exit " + std::to_string(converterExit_)});
    };
  }

  std::string path(const char* name) const { return dir_ + "/" + name; }
  std::string input(bool withVideo) {
    const std::string p = path("in.flv");
    const auto bytes = smallFlv(withVideo);
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return p;
  }
  int extract(const std::string& inputPath, const std::string& prefix) {
    auto retime = [this](const char* mp3, const char* in, const char* flv) {
      retimeCalls_.push_back(std::string(mp3) + "|" + in + "|" + flv);
      return retimeResult_;
    };
    return extractAndRetime(inputPath.c_str(), prefix.c_str(), retime, services_);
  }

  testing_flv::TempDir scratch_;
  std::string dir_;
  ExtractionServices services_;
  std::vector<std::string> commandLines_;
  std::vector<std::string> retimeCalls_;
  int converterExit_ = 0;
  int retimeResult_ = 1;
};

TEST_F(ExtractionTest, WithoutVideoTheMp3IsTheOnlyOutput) {
  const std::string in = input(false);
  EXPECT_EQ(extract(in, path("clip")), 1);
  EXPECT_TRUE(retimeCalls_.empty());
  EXPECT_TRUE(platform::fileExists(path("clip.mp3").c_str()));
  ASSERT_EQ(commandLines_.size(), 1u);
  EXPECT_EQ(commandLines_[0],
            "\"/opt/tools dir/tonecast.exe\" " + jobMappingName(platform::currentThreadId()));
}

TEST_F(ExtractionTest, WithVideoTheRetimerGetsMp3InputAndFlvPaths) {
  const std::string in = input(true);
  retimeResult_ = 0;
  EXPECT_EQ(extract(in, path("clip")), 0);  // the re-timer's result is the flow's
  ASSERT_EQ(retimeCalls_.size(), 1u);
  EXPECT_EQ(retimeCalls_[0], path("clip.mp3") + "|" + in + "|" + path("clip.flv"));
  retimeResult_ = 1;
  EXPECT_EQ(extract(in, path("clip")), 1);
}

TEST_F(ExtractionTest, ConverterFailureSkipsTheRetimer) {
  const std::string in = input(true);
  converterExit_ = 1;
  EXPECT_EQ(extract(in, path("clip")), 0);
  EXPECT_TRUE(retimeCalls_.empty());
  EXPECT_TRUE(platform::fileExists(path("clip.mp3").c_str()));  // left as written
}

TEST_F(ExtractionTest, JobObjectIsGoneAfterTheFlow) {
  const std::string in = input(false);
  EXPECT_EQ(extract(in, path("clip")), 1);
  const std::string object = "/dev/shm/" + jobMappingName(platform::currentThreadId());
  EXPECT_FALSE(platform::fileExists(object.c_str()));
  EXPECT_EQ(extract(path("missing.flv"), path("clip")), 0);  // probe fails after the job exists
  EXPECT_FALSE(platform::fileExists(object.c_str()));
}

TEST_F(ExtractionTest, UnreadableInputStartsNoConverter) {
  EXPECT_EQ(extract(path("missing.flv"), path("clip")), 0);
  EXPECT_TRUE(commandLines_.empty());
}

TEST_F(ExtractionTest, PrefixOf255IsTakenAnd256Refused) {
  const std::string in = input(false);
  std::string prefix = dir_ + "/";
  prefix += std::string(255 - prefix.size(), 'p');
  services_.startProcess = [this](const std::string& program, const std::vector<std::string>& arguments)
      -> std::unique_ptr<platform::Process> {
    commandLines_.push_back(platform::windowsCommandLine(program, arguments));
    return platform::startProcess("/bin/sh", {"-c", "exit 0"});
  };
  EXPECT_EQ(extract(in, prefix), 1);
  EXPECT_EQ(extract(in, prefix + "q"), 0);
  EXPECT_EQ(commandLines_.size(), 1u);
}

// "" or a folder with its separator would give hidden ".mp3" and ".flv"
// files; an input path over the job's 260 characters would reach the
// converter cut. Both are refused before the job object exists.
TEST_F(ExtractionTest, PrefixWithoutFileNameOrOverlongInputIsRefused) {
  const std::string in = input(true);
  EXPECT_EQ(extract(in, ""), 0);
  EXPECT_EQ(extract(in, dir_ + "/"), 0);
  std::string longInput = dir_;
  while (longInput.size() <= kJobPathChars) longInput += "/.";
  longInput += "/in.flv";  // the same file, named by 261 characters or more
  EXPECT_EQ(extract(longInput, path("clip")), 0);
  EXPECT_TRUE(commandLines_.empty());
  EXPECT_TRUE(retimeCalls_.empty());
  EXPECT_EQ(extract(in, path("clip")), 1);
}

TEST_F(ExtractionTest, Mp3PathNamingTheInputIsRefused) {
  const std::string in = input(false);
  const std::string same = path("clip.mp3");
  ASSERT_EQ(::link(in.c_str(), same.c_str()), 0);  // another name, same file
  EXPECT_EQ(extract(same, path("clip")), 0);
  EXPECT_TRUE(commandLines_.empty());
  EXPECT_EQ(::access(in.c_str(), F_OK), 0);
}

TEST_F(ExtractionTest, FlvPathNamingTheInputIsRefusedBeforeConverting) {
  const std::string in = input(true);
  EXPECT_EQ(extract(in, path("in")), 0);
  EXPECT_TRUE(commandLines_.empty());
  // Without video no FLV is written, so the same prefix is fine.
  const std::string audioOnly = input(false);
  EXPECT_EQ(extract(audioOnly, path("in")), 1);
}

TEST_F(ExtractionTest, UnknownProgramLocationIsRefused) {
  const std::string in = input(false);
  services_.locateProgram = [](platform::ProgramLocation*) { return false; };
  EXPECT_EQ(extract(in, path("clip")), 0);
  EXPECT_TRUE(commandLines_.empty());
}

platform::ProgramLocation located(size_t dirChars, size_t fileChars) {
  platform::ProgramLocation location;
  location.fullPath = std::string(dirChars - 1, 'd') + "/" + std::string(fileChars, 'f');
  location.fileNamePos = dirChars;
  return location;
}

TEST(ConverterPathBesideTest, ReplacesTheFileName) {
  std::string converter;
  ASSERT_TRUE(converterPathBeside(located(10, 7), &converter));
  EXPECT_EQ(converter, "ddddddddd/tonecast.exe");
}

TEST(ConverterPathBesideTest, FullPathLimitIs259) {
  std::string converter;
  EXPECT_TRUE(converterPathBeside(located(200, 59), &converter));
  EXPECT_FALSE(converterPathBeside(located(200, 60), &converter));
}

TEST(ConverterPathBesideTest, DirectoryLimitIs247) {
  std::string converter;
  ASSERT_TRUE(converterPathBeside(located(247, 3), &converter));
  EXPECT_EQ(converter.size(), 259u);
  EXPECT_FALSE(converterPathBeside(located(248, 3), &converter));
}

TEST(ConverterPathBesideTest, PathWithoutFileNameIsRefused) {
  platform::ProgramLocation location;
  location.fullPath = "/opt/tools/";
  location.fileNamePos = location.fullPath.size();
  std::string converter;
  EXPECT_FALSE(converterPathBeside(location, &converter));
}

}  // namespace
