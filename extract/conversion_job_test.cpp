#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "extract/conversion_job.h"
#include "extract/job_mapping.h"
#include "platform/file.h"

namespace {

StreamInfo sampleInfo() {
  StreamInfo info;
  std::memset(&info, 0, sizeof info);
  info.sampleRate = 22050;    // offset 32
  info.channels = 2;          // offset 40
  info.bitsPerSample = 16;    // offset 44
  info.reserved2 = 0x5A5A5A5A;  // offset 36: not carried
  return info;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The record as bytes, every byte preset to `fill` before fillJob writes.
std::vector<uint8_t> filled(const char* input, const char* mp3, uint8_t fill) {
  std::vector<uint8_t> bytes(kJobSize, fill);
  fillJob(reinterpret_cast<ConversionJob*>(bytes.data()), input, sampleInfo(), mp3);
  return bytes;
}

TEST(JobMappingNameTest, PrefixThenSignedDecimalThreadId) {
  EXPECT_EQ(jobMappingName(987), "MY_TONECAST_MM_987");
  EXPECT_EQ(jobMappingName(1), "MY_TONECAST_MM_1");
  EXPECT_EQ(jobMappingName(0x80000000u), "MY_TONECAST_MM_-2147483648");
}

TEST(FillJobTest, EveryWrittenOffsetHoldsItsValue) {
  const auto b = filled("in.flv", "C:\\out\\clip.mp3", 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0])), "in.flv");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[261])), "C:\\out\\clip.mp3");
  EXPECT_EQ(le32(&b[528]), 0u);
  EXPECT_EQ(le32(&b[532]), 0u);
  EXPECT_EQ(le32(&b[536]), 2u);   // channels
  EXPECT_EQ(le32(&b[540]), 16u);  // bits per sample
  EXPECT_EQ(le32(&b[552]), 0u);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 556, b.begin() + 560), (std::vector<uint8_t>{'m', 'p', '3', 0}));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 588, b.begin() + 600),
            (std::vector<uint8_t>{0x01, 0x50, 0x01, 0x00, 0x00, 0xF4, 0x01, 0x00, 0x44, 0xAC, 0x00, 0x00}));
  EXPECT_EQ(le32(&b[600]), 22050u);
}

TEST(FillJobTest, NeverWrittenBytesKeepWhatTheyHeld) {
  const auto b = filled("in.flv", "out.mp3", 0xAB);
  std::vector<std::pair<int, int>> untouched = {{260, 261}, {521, 522}, {522, 528},
                                                {544, 552}, {560, 588}, {604, 608}};
  for (auto [from, to] : untouched)
    for (int i = from; i < to; ++i) EXPECT_EQ(b[i], 0xAB) << "offset " << i;
  // Everything else was written: the padding of both paths included.
  for (int i = 6; i < 260; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 261 + 7; i < 521; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(FillJobTest, PathOfTenCharactersLeavesTheRestZero) {
  const auto b = filled("0123456789", "o.mp3", 0);
  for (int i = 10; i <= 260; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(FillJobTest, PathOf260FillsTheFieldAndTheNeverWrittenZeroEndsIt) {
  const std::string input(260, 'i');
  const std::string output(260, 'o');
  const auto b = filled(input.c_str(), output.c_str(), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0])), input);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[261])), output);
}

TEST(FillJobTest, LongerPathIsCutTo260) {
  std::string input;
  for (int i = 0; i < 300; ++i) input += static_cast<char>('a' + i % 26);
  const auto b = filled(input.c_str(), "o.mp3", 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0])), input.substr(0, 260));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[261])), "o.mp3");
}

TEST(CreateJobMappingTest, NewJobIsZeroWithProgressZero) {
  const std::string name = jobMappingName(platform::currentThreadId()) + "_test";
  ConversionJob* job = nullptr;
  auto mapping = createJobMapping(name.c_str(), &job);
  ASSERT_NE(mapping, nullptr);
  ASSERT_NE(job, nullptr);
  const auto* bytes = reinterpret_cast<const uint8_t*>(job);
  for (uint32_t i = 0; i < kJobSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(job->progress, 0.0);
  EXPECT_FALSE(std::signbit(job->progress));
  mapping->close();
  job->codecId = 1;  // the view outlives the handle
  EXPECT_EQ(job->codecId, 1);
}

TEST(CreateJobMappingTest, ExistingJobIsOpenedAsItIs) {
  const std::string name = jobMappingName(platform::currentThreadId()) + "_again";
  ConversionJob* first = nullptr;
  auto mapping = createJobMapping(name.c_str(), &first);
  ASSERT_NE(first, nullptr);
  first->progress = 0.25;
  ConversionJob* second = nullptr;
  auto again = createJobMapping(name.c_str(), &second);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->progress, 0.25);
}

}  // namespace
