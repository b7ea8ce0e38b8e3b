#include "tonecast/converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "platform/testing/flv_builder.h"
#include "tonecast/mp3_writer.h"

namespace tonecast {
namespace {

using testing_flv::FlvBuilder;
using testing_flv::TempDir;

// The length in samples that the LAME tag of an MP3 file gives: frames ×
// 1152 less the encoder delay and padding. -1 when the first frame holds no
// LAME tag. MPEG-1 layer III only, as the converter writes at 44.1 kHz.
int64_t lameTagSamples(const std::vector<uint8_t>& file) {
  if (file.size() < 200 || file[0] != 0xFF || (file[1] & 0xFE) != 0xFA) return -1;
  const bool mono = (file[3] >> 6) == 3;
  size_t p = 4 + (mono ? 17 : 32);
  if (std::memcmp(&file[p], "Info", 4) != 0 && std::memcmp(&file[p], "Xing", 4) != 0) return -1;
  const uint32_t flags = file[p + 7];
  p += 8;
  if (!(flags & 1)) return -1;
  const uint32_t frames = (uint32_t{file[p]} << 24) | (uint32_t{file[p + 1]} << 16) |
                          (uint32_t{file[p + 2]} << 8) | file[p + 3];
  p += 4;
  if (flags & 2) p += 4;
  if (flags & 4) p += 100;
  if (flags & 8) p += 4;
  if (std::memcmp(&file[p], "LAME", 4) != 0) return -1;
  p += 21;
  const int delay = (file[p] << 4) | (file[p + 1] >> 4);
  const int padding = ((file[p + 1] & 0x0F) << 8) | file[p + 2];
  return int64_t{frames} * 1152 - delay - padding;
}

// A 16-bit stereo tone at 22050 Hz in 100 ms tags.
std::vector<uint8_t> toneTag(int tagIndex) {
  std::vector<uint8_t> payload;
  for (int i = 0; i < 2205; ++i) {
    const int n = tagIndex * 2205 + i;
    const auto v = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 500 * n / 22050.0));
    for (int c = 0; c < 2; ++c) {
      payload.push_back(static_cast<uint8_t>(v & 0xFF));
      payload.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
  }
  return payload;
}

constexpr uint8_t kPcm16Stereo22k = 0x0B;  // format 0, 22 kHz, 16-bit, stereo

ConversionRequest requestFor(const std::string& input, const std::string& output) {
  ConversionRequest request;
  request.inputPath = input;
  request.outputPath = output;
  request.bitRate = 128000;
  request.sampleRate = 44100;
  request.probed = {22050, 2};
  return request;
}

void noProgress(double) {}

TEST(Convert, PcmWithAGapBecomesAnMp3OfTheTimelinesLength) {
  TempDir dir;
  FlvBuilder flv;
  for (int i = 0; i < 10; ++i) {
    flv.video(static_cast<uint32_t>(i * 100));
    flv.audio(static_cast<uint32_t>(i * 100), kPcm16Stereo22k, toneTag(i));
  }
  flv.audio(1000, kPcm16Stereo22k, {});  // a gap of 500 ms
  flv.audio(1250, kPcm16Stereo22k, {});
  for (int i = 10; i < 20; ++i) {
    flv.audio(static_cast<uint32_t>(i * 100 + 500), kPcm16Stereo22k, toneTag(i));
  }
  flv.audio(2500, kPcm16Stereo22k, {});  // open at the end
  flv.save(dir.file("in.flv"));
  std::vector<double> progress;
  const auto result = convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")),
                              [&](double f) { progress.push_back(f); });
  ASSERT_EQ(result, ConversionResult::kDone);
  // 2.5 s at 44.1 kHz; LAME's resampler may end a sample early or late.
  EXPECT_NEAR(lameTagSamples(testing_flv::readFile(dir.file("out.mp3"))), 110250, 2);
  // in.flv and out.mp3, no partial file
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()), 2);
  ASSERT_FALSE(progress.empty());
  EXPECT_GT(progress.front(), 0.0);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);
}

TEST(Convert, EightBitMonoAt5512HzKeepsItsLength) {
  TempDir dir;
  FlvBuilder flv(0x04);
  for (int i = 0; i < 8; ++i) {
    std::vector<uint8_t> payload(689);
    for (size_t n = 0; n < payload.size(); ++n) payload[n] = static_cast<uint8_t>(128 + (n % 20) * 4);
    flv.audio(static_cast<uint32_t>(i * 125), 0x00, payload);  // format 0, 5.5 kHz, 8-bit, mono
  }
  flv.save(dir.file("in.flv"));
  ASSERT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), noProgress),
            ConversionResult::kDone);
  const auto mp3 = testing_flv::readFile(dir.file("out.mp3"));
  EXPECT_EQ((mp3[3] >> 6), 3);  // mono
  EXPECT_NEAR(lameTagSamples(mp3), 8 * 689 * 44100.0 / 5512, 8);
}

TEST(Convert, At5512HzLongTagsAndGapsOverASecondAreEncoded) {
  // LAME encodes 5512 Hz input at 44.1 kHz, eight samples for each one it
  // is given: its output buffer must hold what those make.
  TempDir dir;
  FlvBuilder flv(0x04);
  std::vector<uint8_t> payload(5512 * 3);  // 3 s in one tag
  for (size_t n = 0; n < payload.size(); ++n) payload[n] = static_cast<uint8_t>(128 + ((n / 6) % 2 ? 60 : -60));
  flv.audio(0, 0x00, payload).audio(3000, 0x00, {}).audio(5500, 0x00, payload);  // a 2.5 s gap
  flv.save(dir.file("in.flv"));
  ASSERT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), noProgress),
            ConversionResult::kDone);
  EXPECT_NEAR(lameTagSamples(testing_flv::readFile(dir.file("out.mp3"))), 8.5 * 44100, 16);
}

TEST(Convert, ProgressMovesWhileHoursOfSilenceAreWritten) {
  TempDir dir;
  FlvBuilder flv;
  flv.audio(0, kPcm16Stereo22k, toneTag(0)).audio(100, kPcm16Stereo22k, {});
  flv.audio(100 + 20 * 60 * 1000, kPcm16Stereo22k, toneTag(1));  // 20 minutes muted
  flv.save(dir.file("in.flv"));
  std::vector<double> progress;
  ASSERT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), [&](double f) { progress.push_back(f); }),
            ConversionResult::kDone);
  // Two passes over three tags, the end, and the silence's own steps.
  EXPECT_GE(progress.size(), 2u * 3 + 1 + 2);
  EXPECT_TRUE(std::adjacent_find(progress.begin(), progress.end(), std::greater_equal<>()) == progress.end());
  EXPECT_NEAR(lameTagSamples(testing_flv::readFile(dir.file("out.mp3"))), (0.2 + 20 * 60) * 44100, 2);
}

// The CRC-16 of the LAME tag, bit by bit.
uint16_t crc16(const uint8_t* bytes, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

uint32_t big32(const std::vector<uint8_t>& b, size_t p) {
  return (uint32_t{b[p]} << 24) | (uint32_t{b[p + 1]} << 16) | (uint32_t{b[p + 2]} << 8) | b[p + 3];
}

// What the LAME tag of an MPEG-1 file says, and what the file holds.
struct TagCheck {
  uint32_t tagFrames = 0, tagBytes = 0, musicLength = 0;
  int64_t frames = 0;  // walked, the tag frame included
  bool musicCrc = false, tagCrc = false;
};

TagCheck checkTag(const std::vector<uint8_t>& file) {
  static const int kKbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  TagCheck check;
  const size_t at = 4 + ((file[3] >> 6) == 3 ? 17 : 32);
  check.tagFrames = big32(file, at + 8);
  check.tagBytes = big32(file, at + 12);
  check.musicLength = big32(file, at + 148);
  size_t p = 0, first = 0;
  while (p + 4 <= file.size() && file[p] == 0xFF && (file[p + 1] & 0xFE) == 0xFA) {
    const size_t size = 144000 * kKbps[file[p + 2] >> 4] / 44100 + ((file[p + 2] >> 1) & 1);
    if (size < 21) break;
    if (p == 0) first = size;
    p += size;
    ++check.frames;
  }
  EXPECT_EQ(p, file.size()) << "frames do not end at the file's end";
  const uint16_t music = crc16(file.data() + first, file.size() - first);
  check.musicCrc = ((file[at + 152] << 8) | file[at + 153]) == music;
  check.tagCrc = ((file[at + 154] << 8) | file[at + 155]) == crc16(file.data(), at + 154);
  return check;
}

TEST(Mp3Writer, LongSilenceIsCopiedFramesThatTheLameTagCounts) {
  TempDir dir;
  for (const int32_t rate : {44100, 22050, 8000}) {
    // A tone, two minutes of silence, a tone; and the same with the
    // silence encoded by LAME, as any sink writes it.
    std::vector<float> tone(static_cast<size_t>(rate));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(2 * std::numbers::pi * 440 * i / rate);
    const float* planes[2] = {tone.data(), tone.data()};
    const int64_t silence = int64_t{rate} * 120 + 77;
    std::vector<uint8_t> files[2];
    for (const bool copied : {true, false}) {
      const std::string path = dir.file(copied ? "copied.mp3" : "encoded.mp3");
      Mp3Writer writer(path, 128000, 44100);
      ASSERT_TRUE(writer.begin(rate, 1));
      ASSERT_TRUE(writer.write(planes, tone.size()));
      ASSERT_TRUE(copied ? writer.writeSilence(silence) : writer.SampleSink::writeSilence(silence));
      ASSERT_TRUE(writer.write(planes, tone.size()));
      ASSERT_TRUE(writer.commit());
      EXPECT_EQ(writer.copiedFrames() > 4500, copied) << rate;
      files[copied] = testing_flv::readFile(path);
    }
    // LAME's own tag, without copies, is what the checks expect.
    const TagCheck encoded = checkTag(files[0]);
    EXPECT_TRUE(encoded.musicCrc && encoded.tagCrc) << rate;
    EXPECT_EQ(encoded.tagFrames + 1, encoded.frames) << rate;
    EXPECT_EQ(encoded.tagBytes, files[0].size()) << rate;

    const TagCheck copied = checkTag(files[1]);
    EXPECT_TRUE(copied.musicCrc) << rate;
    EXPECT_TRUE(copied.tagCrc) << rate;
    EXPECT_EQ(copied.tagFrames + 1, copied.frames) << rate;
    EXPECT_EQ(copied.tagBytes, files[1].size()) << rate;
    EXPECT_EQ(copied.musicLength, files[1].size()) << rate;
    // The same length, to the sample (LAME's resampler may end a sample
    // early or late, and copies replace the input by whole samples).
    const double expected = static_cast<double>(2 * rate + silence) * 44100 / rate;
    EXPECT_NEAR(lameTagSamples(files[1]), expected, rate == 44100 ? 0 : 8) << rate;
    EXPECT_NEAR(lameTagSamples(files[1]), lameTagSamples(files[0]), rate == 44100 ? 0 : 8) << rate;
    EXPECT_LT(files[1].size(), files[0].size() + 2000) << rate;
  }
}

TEST(Convert, InputWithoutAudioGivesAnEmptyMp3) {
  TempDir dir;
  FlvBuilder flv;
  flv.video(0).audio(10, kPcm16Stereo22k, {}).video(40);
  flv.save(dir.file("in.flv"));
  ASSERT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), noProgress),
            ConversionResult::kDone);
  // LAME's shortest stream is one frame, of which its tag claims a few
  // samples; nothing of the gap still open at the end.
  const int64_t samples = lameTagSamples(testing_flv::readFile(dir.file("out.mp3")));
  EXPECT_GE(samples, 0);
  EXPECT_LT(samples, 100);
}

TEST(Convert, UnsupportedAudioLeavesNoFile) {
  TempDir dir;
  FlvBuilder flv;
  flv.audio(0, kPcm16Stereo22k, toneTag(0)).audio(100, 0xAF, {1, 0x12, 0x10});  // AAC
  flv.save(dir.file("in.flv"));
  EXPECT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), noProgress),
            ConversionResult::kUnsupportedAudio);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()), 1);
}

TEST(Convert, FailureKeepsAnOlderFileAtTheOutputPath) {
  TempDir dir;
  testing_flv::writeFile(dir.file("in.flv"), {'n', 'o', 't', ' ', 'F', 'L', 'V'});
  testing_flv::writeFile(dir.file("out.mp3"), {1, 2, 3});
  EXPECT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("out.mp3")), noProgress),
            ConversionResult::kInputUnreadable);
  EXPECT_EQ(testing_flv::readFile(dir.file("out.mp3")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(convert(requestFor(dir.file("missing.flv"), dir.file("out2.mp3")), noProgress),
            ConversionResult::kInputUnreadable);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out2.mp3")));
}

TEST(Convert, OutputNamingTheInputIsRefused) {
  TempDir dir;
  FlvBuilder flv;
  flv.audio(0, kPcm16Stereo22k, toneTag(0));
  flv.save(dir.file("in.flv"));
  const auto before = testing_flv::readFile(dir.file("in.flv"));
  EXPECT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("in.flv")), noProgress),
            ConversionResult::kSameFile);
  EXPECT_EQ(convert(requestFor(dir.file("in.flv"), dir.path() + "/./in.flv"), noProgress),
            ConversionResult::kSameFile);
  EXPECT_EQ(testing_flv::readFile(dir.file("in.flv")), before);
}

TEST(Convert, UnwritableOutputFails) {
  TempDir dir;
  FlvBuilder flv;
  flv.audio(0, kPcm16Stereo22k, toneTag(0));
  flv.save(dir.file("in.flv"));
  EXPECT_EQ(convert(requestFor(dir.file("in.flv"), dir.file("no/such/dir/out.mp3")), noProgress),
            ConversionResult::kEncodeOrWriteFailed);
}

ConversionJob goodJob() {
  ConversionJob job;
  std::memset(&job, 0, sizeof job);
  std::strcpy(job.inputPath, "/in/clip.flv");
  std::strcpy(job.outputPath, "/out/clip.mp3");
  std::strcpy(job.formatName, "mp3");
  job.codecId = kJobCodecMp3;
  job.bitRate = kJobBitRate;
  job.sampleRate = kJobSampleRate;
  job.infoWord = 11025;
  job.infoPair[0] = 2;
  job.infoPair[1] = 16;
  return job;
}

TEST(ReadRequest, TakesPathsRatesAndTheProbedStream) {
  ConversionRequest request;
  ASSERT_TRUE(readRequest(goodJob(), &request));
  EXPECT_EQ(request.inputPath, "/in/clip.flv");
  EXPECT_EQ(request.outputPath, "/out/clip.mp3");
  EXPECT_EQ(request.bitRate, 128000);
  EXPECT_EQ(request.sampleRate, 44100);
  EXPECT_EQ(request.probed.rate, 11025);
  EXPECT_EQ(request.probed.channels, 2);

  ConversionJob full = goodJob();
  std::memset(full.inputPath, 'a', 260);  // 260 characters, ended by byte 260
  ASSERT_TRUE(readRequest(full, &request));
  EXPECT_EQ(request.inputPath.size(), 260u);
}

TEST(ReadRequest, RefusesJobsItCannotDo) {
  ConversionRequest request;
  ConversionJob job = goodJob();
  std::strcpy(job.formatName, "ogg");
  EXPECT_FALSE(readRequest(job, &request));
  job = goodJob();
  job.codecId = 86018;
  EXPECT_FALSE(readRequest(job, &request));
  job = goodJob();
  job.bitRate = 0;
  EXPECT_FALSE(readRequest(job, &request));
  job = goodJob();
  job.outputPath[0] = 0;
  EXPECT_FALSE(readRequest(job, &request));
  job = goodJob();
  std::memset(job.outputPath, 'b', sizeof job.outputPath);  // no terminator at all
  EXPECT_FALSE(readRequest(job, &request));
  job = goodJob();
  std::memset(job.formatName, 'm', sizeof job.formatName);
  EXPECT_FALSE(readRequest(job, &request));
}

}  // namespace
}  // namespace tonecast
