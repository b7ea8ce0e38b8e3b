// The conversion job: the record that tagmend and the converter share in
// named shared memory. Its layout is a format between two programs; every
// offset below is binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

constexpr const char* kJobNamePrefix = "MY_TONECAST_MM_";
constexpr uint32_t kJobSize = 608;
constexpr int32_t kJobCodecMp3 = 86017;  // 0x15001, libavcodec's numbering
constexpr int32_t kJobBitRate = 128000;
constexpr int32_t kJobSampleRate = 44100;
constexpr size_t kJobPathChars = 260;

struct ConversionJob {
  char inputPath[261];   // 0: the input FLV; byte 260 is never written
  char outputPath[261];  // 261: the MP3 to write; byte 521 is never written
  uint8_t reserved0[6];  // 522
  int32_t reservedPair[2];  // 528: 0, 0
  int32_t infoPair[2];      // 536: StreamInfo words 40 and 44 (channels, bits per sample)
  double progress;          // 544: written by the converter only; non-zero while it works
  int32_t reservedWord;     // 552: 0
  char formatName[32];      // 556: "mp3"
  int32_t codecId;          // 588: 86017
  int32_t bitRate;          // 592: bits per second
  int32_t sampleRate;       // 596: Hz
  int32_t infoWord;         // 600: StreamInfo word 32 (the input's sample rate)
  uint8_t reserved1[4];     // 604
};

static_assert(sizeof(ConversionJob) == kJobSize);
static_assert(offsetof(ConversionJob, inputPath) == 0);
static_assert(offsetof(ConversionJob, outputPath) == 261);
static_assert(offsetof(ConversionJob, reservedPair) == 528);
static_assert(offsetof(ConversionJob, infoPair) == 536);
static_assert(offsetof(ConversionJob, progress) == 544);
static_assert(sizeof(ConversionJob::progress) == 8);
static_assert(offsetof(ConversionJob, reservedWord) == 552);
static_assert(offsetof(ConversionJob, formatName) == 556);
static_assert(offsetof(ConversionJob, codecId) == 588);
static_assert(offsetof(ConversionJob, bitRate) == 592);
static_assert(offsetof(ConversionJob, sampleRate) == 596);
static_assert(offsetof(ConversionJob, infoWord) == 600);

// Where the converter writes the MP3 until it is complete: a short name in
// the final file's folder (through a link at mp3Path, the folder of the
// file it names, which the MP3 replaces), whatever that file's own length,
// made from the converter's process identifier, which tagmend knows too:
// after a failed or interrupted conversion it removes what the converter
// left there.
inline std::string converterPartialPath(const std::string& mp3Path, uint32_t converterProcessId) {
  std::string target;
  if (!platform::outputTarget(mp3Path.c_str(), &target)) target = mp3Path;
  return platform::folderOf(target.c_str()) + ".tonecast-" + std::to_string(converterProcessId) + ".part";
}
