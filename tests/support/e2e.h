// Support for the end-to-end tests: running the executables, FLVs made with
// ffmpeg, and readers of MP3 and AMF0 of their own; temporary directories
// and the FLV reader come from the tests' shared support
// (platform/testing). Nothing here uses the libraries under test, so that a
// fault in them cannot hide itself in the checks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/flv_builder.h"

namespace e2e {

// ---- Processes -----------------------------------------------------------

struct RunResult {
  int exitCode = -1;  // exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs argv[0] (searched on PATH when it has no '/') with the rest as its
// arguments, in cwd when given, with extraEnv ("NAME=value") added to the
// environment. A child still running after timeoutSeconds is killed and the
// current test fails.
RunResult run(const std::vector<std::string>& argv, const std::string& cwd = "",
              const std::vector<std::string>& extraEnv = {}, int timeoutSeconds = 120);

std::string binDir();       // TAGMEND_BIN: where the built executables are
std::string sourceDir();    // TAGMEND_SOURCE: the checkout
std::string tagmendPath();  // binDir() + "/tagmend"

// Runs tagmend with the two arguments.
RunResult tagmend(const std::string& input, const std::string& prefix, const std::string& cwd = "");

// The banner and usage line tagmend prints.
inline constexpr const char* kBanner = "FLV fixing...\n";
inline constexpr const char* kUsage = "Usage: tagmend [--aac] [--] flvPathIn flvPathOutPrefix\n";

// ---- Files ---------------------------------------------------------------

using testing_flv::TempDir;

bool fileExists(const std::string& path);
std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

// ---- External tools --------------------------------------------------------

// True when an executable of that name is on PATH.
bool haveTool(const std::string& name);

// Runs "ffmpeg -hide_banner -loglevel error -y <args> outPath" (args split on
// blanks) and returns outPath; a failure of ffmpeg fails the current test.
std::string makeWithFfmpeg(const std::string& outPath, const std::string& args);

struct FlvmetaMessage {
  std::string level;  // "warning", "error" or "fatal"
  std::string text;
};
struct FlvmetaCheck {
  int errors = -1;  // -1: the report could not be read
  int warnings = -1;
  std::vector<FlvmetaMessage> messages;
  std::string json;
};
// "flvmeta --check --json": the counts of error (and fatal) and warning messages.
FlvmetaCheck flvmetaCheck(const std::string& path);

// "ffprobe -v error -show_format -show_streams -of json": its output.
std::string ffprobeJson(const std::string& path);
// ffprobe reads the whole file (packets included) exiting 0 and printing no error.
bool ffprobeReads(const std::string& path, std::string* errors = nullptr);
// Where the video packets' dts (by ffprobe) first go back, or "" when they
// never do.
std::string videoDtsStepsBack(const std::string& path);

// ---- What a viewer sees -------------------------------------------------------
// Times are seconds by the timestamps that ffmpeg decodes the stream with, so
// a stretch without audio packets stays where it is.

// Where the first video stream turns bright (mean luma past mid-grey).
std::vector<double> flashTimes(const std::string& path, const TempDir& dir);
// Where the first audio stream turns loud (a peak past 0.2 of full scale)
// after 0.3 s of quiet, to 64 samples: by the packets' timestamps (as a
// player that fills a stretch without audio with silence plays it), or with
// every sample played after the one before from the first packet's time on
// (as a player whose clock is the sound plays it).
enum class BeepClock { kTimestamps, kSamplesPlayedInTurn };
std::vector<double> beepTimes(const std::string& path, const TempDir& dir, BeepClock clock = BeepClock::kTimestamps);
// The worst distance from a time in from to the nearest time in to.
double worstDistance(const std::vector<double>& from, const std::vector<double>& to);

// ---- FLV -------------------------------------------------------------------

using testing_flv::audioPayload;
using testing_flv::Flv;
using testing_flv::readFlv;
using testing_flv::soundFormat;
using testing_flv::Tag;
using testing_flv::tagsOfType;
using testing_flv::videoCodec;
using testing_flv::writeFlv;

// The composition time offset of an AVC picture (its signed 24 bits), 0 for
// any other tag.
int32_t compositionOffset(const Tag& t);
// True when some AVC picture of the file has a composition offset.
bool hasCompositionOffsets(const Flv& f);
// How many of out's AVC pictures (the same pictures as in's, in the same
// order) are shown (stamp plus composition offset) no later than the one
// that in shows just before them.
int framesShownOutOfOrder(const Flv& in, const Flv& out);

// ---- MP3 -------------------------------------------------------------------

struct Mp3Frame {
  int bytes = 0;
  int samples = 0;
  int sampleRate = 0;
};
// The frame whose header stands at p (4 bytes needed), if it is a valid
// MPEG-1/2/2.5 layer I/II/III header.
std::optional<Mp3Frame> mp3FrameAt(const uint8_t* p, size_t available);

// Duration in ticks (100 ns) of the frames in an audio payload: each frame
// adds samples * 10000000 / sampleRate (truncated); the walk stops at the
// first bytes that are no frame header, and a frame running past the end
// still counts whole.
int64_t mp3PayloadTicks(const std::vector<uint8_t>& payload);

// The frames of an MP3 file (an ID3v2 tag at its start skipped), each as its
// bytes; stops at the first non-frame or at a frame running past the end.
std::vector<std::vector<uint8_t>> mp3Frames(const std::vector<uint8_t>& file);

// ---- AMF0 onMetaData ---------------------------------------------------------

struct Metadata {
  bool ok = false;             // an "onMetaData" name followed by an object or ECMA array
  std::map<std::string, double> numbers;  // numbers, and booleans as 0 / 1
  std::map<std::string, std::string> strings;
  std::vector<double> keyframeTimes;
  std::vector<double> keyframePositions;
  bool has(const std::string& key) const { return numbers.count(key) != 0; }
};
Metadata parseOnMetaData(const Tag& scriptTag);

}  // namespace e2e
