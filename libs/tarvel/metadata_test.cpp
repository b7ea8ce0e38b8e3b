// The metadata rebuild on files made by ffmpeg, checked with flvmeta,
// ffprobe and a parser of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "libs/tarvel/amf0.h"
#include "libs/tarvel/meta_scan.h"
#include "libs/tarvel/metadata_internal.h"
#include "libs/tarvel/tarvel.h"
#include "platform/file.h"
#include "platform/testing/flv_builder.h"

namespace tarvel {
namespace {

using testing_flv::TempDir;

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

struct ParsedTag {
  int type;
  uint32_t timestamp;
  size_t position;
  std::vector<uint8_t> data;
};

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Whole tags only; stops at the first that does not fit.
std::vector<ParsedTag> parseTags(const std::vector<uint8_t>& b) {
  std::vector<ParsedTag> tags;
  if (b.size() < 13) return tags;
  size_t pos = be(&b[5], 4) + 4;
  while (pos + 15 <= b.size()) {
    size_t size = be(&b[pos + 1], 3);
    if (pos + 15 + size > b.size()) break;
    uint32_t ts = be(&b[pos + 4], 3) | (uint32_t{b[pos + 7]} << 24);
    tags.push_back({b[pos] & 0x1F, ts, pos, {b.begin() + long(pos + 11), b.begin() + long(pos + 11 + size)}});
    pos += 15 + size;
  }
  return tags;
}

int countMetadataTags(const std::vector<ParsedTag>& tags) {
  int n = 0;
  for (const ParsedTag& t : tags) {
    std::string name;
    if (t.type == 18 && readAmf0Name(t.data.data(), t.data.size(), &name) && name == "onMetaData") ++n;
  }
  return n;
}

// The onMetaData array of the file's first tag.
bool readMetadata(const std::vector<ParsedTag>& tags, Amf0Value* meta) {
  if (tags.empty() || tags[0].type != 18) return false;
  const std::vector<uint8_t>& d = tags[0].data;
  Amf0Value name;
  size_t n = readAmf0(d.data(), d.size(), &name);
  if (n == 0 || name.text != "onMetaData") return false;
  return readAmf0(d.data() + n, d.size() - n, meta) == d.size() - n;
}

int refresh(const std::string& path) {
  void* meta = FlvMetaCreateObject();
  if (!meta) return 0;
  int ok = FlvMetaParseFromFile(meta, path.c_str()) && FlvMetaUpdateToFile(meta, path.c_str());
  FlvMetaDeleteObject(meta);
  return ok;
}

bool makeFlv(const std::string& path, const std::string& inputs, const std::string& codecs,
             bool withMetadata = false) {
  std::string command = "ffmpeg -nostdin -v error -y " + inputs + " " + codecs +
                        (withMetadata ? "" : " -flvflags no_metadata") + " '" + path + "' 2>&1";
  return run(command).empty() && std::filesystem::exists(path);
}

constexpr char kVideo[] = "-f lavfi -i testsrc=size=320x240:rate=25";
constexpr char kAudio44[] = "-f lavfi -i sine=frequency=440:sample_rate=44100";
constexpr char kAudio22[] = "-f lavfi -i sine=frequency=440:sample_rate=22050";

double number(const Amf0Value& meta, const char* name) {
  const Amf0Value* v = meta.find(name);
  return v ? v->number : std::nan("");
}

// flvmeta's own H.264 reading gets the picture size wrong (16x160 for a
// 320x240 stream): for AVC files ffprobe is the referee of the size.
// An audio-only file draws two warnings whatever its metadata says. The
// sample rate of MP3 is checked against ffprobe instead.
std::vector<std::string> flvmetaComplaints(const std::string& path, bool avc, bool video = true) {
  std::string json = run("flvmeta --check --json '" + path + "'");
  std::vector<std::string> complaints;
  size_t at = 0;
  while ((at = json.find("\"message\":\"", at)) != std::string::npos) {
    at += 11;
    std::string message = json.substr(at, json.find('"', at) - at);
    bool sizeDispute = avc && (message.rfind("width should be", 0) == 0 || message.rfind("height should be", 0) == 0);
    // About the input's audio format (8-bit PCM is written as format 0), not the metadata.
    bool formatAdvice = message.find("non-portability") != std::string::npos;
    bool audioOnly = !video && (message == "header signals the file does not contain video tags" ||
                                message == "unable to determine video resolution");
    // flvmeta takes the rate from the flags, which cannot say 48 kHz MP3.
    bool flagRate = message == "audiosamplerate should be 44100, got 48000";
    if (!sizeDispute && !formatAdvice && !audioOnly && !flagRate) complaints.push_back(message);
  }
  if (json.find("\"errors\":") == std::string::npos) complaints.push_back("no report: " + json);
  return complaints;
}

// The end of the last packet of any stream, as ffprobe times packets.
double ffprobeEnd(const std::string& path) {
  std::string csv = run("ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 '" + path + "'");
  double end = 0;
  size_t at = 0;
  while (at < csv.size()) {
    size_t eol = csv.find('\n', at);
    std::string line = csv.substr(at, eol - at);
    double pts = 0, duration = 0;
    if (sscanf(line.c_str(), "%lf,%lf", &pts, &duration) >= 1) end = std::max(end, pts + duration);
    if (eol == std::string::npos) break;
    at = eol + 1;
  }
  return end;
}

struct Case {
  const char* name;
  std::string inputs;
  std::string codecs;
  bool video;
  bool audio;
};

class FfmpegFiles : public testing::TestWithParam<Case> {};

TEST_P(FfmpegFiles, MetadataAgreesWithToolsAndTags) {
  const Case& c = GetParam();
  TempDir dir;
  std::string path = dir.file(std::string(c.name) + ".flv");
  ASSERT_TRUE(makeFlv(path, c.inputs, c.codecs));
  std::string probeBefore = run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" + path + "'");
  double endBefore = ffprobeEnd(path);
  ASSERT_EQ(refresh(path), 1);

  bool avc = c.codecs.find("libx264") != std::string::npos;
  EXPECT_EQ(flvmetaComplaints(path, avc, c.video), std::vector<std::string>{});
  EXPECT_EQ(run("ffprobe -v error -show_format '" + path + "' 2>&1 >/dev/null"), "");

  std::vector<uint8_t> bytes = readAll(path);
  std::vector<ParsedTag> tags = parseTags(bytes);
  Amf0Value meta;
  ASSERT_TRUE(readMetadata(tags, &meta));
  EXPECT_EQ(countMetadataTags(tags), 1);
  EXPECT_EQ(bytes[4], (c.audio ? 4 : 0) | (c.video ? 1 : 0));
  EXPECT_EQ(meta.find("hasVideo")->number, c.video ? 1 : 0);
  EXPECT_EQ(meta.find("hasAudio")->number, c.audio ? 1 : 0);
  EXPECT_EQ(number(meta, "filesize"), double(bytes.size()));

  // Within the longest frame: 40 ms of video, or an ADPCM block of 186 ms.
  double frame = c.codecs.find("adpcm") != std::string::npos ? 0.19 : 0.041;
  EXPECT_NEAR(number(meta, "duration"), endBefore, frame);
  EXPECT_NEAR(number(meta, "duration"), ffprobeEnd(path), frame);

  if (c.audio) {
    std::string rate = run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 '" +
                           path + "'");
    EXPECT_EQ(std::to_string(int(number(meta, "audiosamplerate"))) + "\n", rate);
  }
  if (!c.video) {
    EXPECT_EQ(meta.find("width"), nullptr);
    EXPECT_EQ(meta.find("keyframes"), nullptr);
    return;
  }
  std::string probed = run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" + path + "'");
  EXPECT_EQ(probed, probeBefore);
  EXPECT_EQ(std::to_string(int(number(meta, "width"))) + "," + std::to_string(int(number(meta, "height"))) + "\n",
            probed);

  const Amf0Value* keyframes = meta.find("keyframes");
  ASSERT_NE(keyframes, nullptr);
  const auto& times = keyframes->find("times")->members;
  const auto& positions = keyframes->find("filepositions")->members;
  ASSERT_EQ(times.size(), positions.size());
  ASSERT_GE(times.size(), 2u);
  std::map<size_t, const ParsedTag*> byPosition;
  std::set<uint32_t> keyframeTimes;
  for (const ParsedTag& t : tags) {
    byPosition[t.position] = &t;
    if (t.type == 9 && (t.data[0] >> 4) == 1) keyframeTimes.insert(t.timestamp);
  }
  for (size_t i = 0; i < times.size(); ++i) {
    auto it = byPosition.find(size_t(positions[i].second.number));
    ASSERT_NE(it, byPosition.end()) << "entry " << i << " is not at a tag";
    const ParsedTag& t = *it->second;
    EXPECT_EQ(t.type, 9);
    EXPECT_EQ(t.data[0] >> 4, 1) << "entry " << i << " is not a key frame";
    EXPECT_EQ(double(t.timestamp) / 1000.0, times[i].second.number);
  }
  // Every key frame time is indexed (AVC sequence headers share theirs).
  EXPECT_EQ(times.size(), keyframeTimes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, FfmpegFiles,
    testing::Values(
        Case{"h263_mp3", std::string(kVideo) + " " + kAudio44, "-t 8 -c:v flv -c:a libmp3lame", true, true},
        Case{"avc_aac", std::string(kVideo) + " " + kAudio44, "-t 8 -c:v libx264 -preset ultrafast -c:a aac -ac 2", true, true},
        Case{"screen_nellymoser", std::string(kVideo) + " " + kAudio44,
             "-t 6 -s 160x120 -c:v flashsv -g 25 -c:a nellymoser", true, true},
        Case{"screen2_pcm", std::string(kVideo) + " " + kAudio22, "-t 10 -s 160x120 -c:v flashsv2 -g 25 -c:a pcm_u8 -ar 11025",
             true, true},
        Case{"h263_adpcm", std::string(kVideo) + " " + kAudio22, "-t 20 -c:v flv -b:v 64k -c:a adpcm_swf", true, true},
        Case{"avc_only", kVideo, "-t 6 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -s 322x242", true, false},
        Case{"mp3_only", kAudio44, "-t 6 -c:a libmp3lame", false, true},
        // Stored with the flags of 44.1 kHz: the frames say 48 kHz.
        Case{"h263_mp3_48k", std::string(kVideo) + " " + kAudio44, "-t 4 -c:v flv -c:a libmp3lame -ar 48000",
             true, true}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// MP3 at rates that FLV's flags cannot say (32 kHz, and MPEG-2 and 2.5 at
// 8 to 24 kHz), cut into tags flagged 44 kHz as recorders store it: the
// metadata gives the rate the frames play at, as ffprobe reads the MP3.
TEST(MetadataRates, Mp3RateComesFromTheFrames) {
  TempDir dir;
  for (int rate : {8000, 16000, 24000, 32000}) {
    SCOPED_TRACE(rate);
    std::string mp3 = dir.file("a.mp3");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=sample_rate=" + std::to_string(rate) +
                  " -t 1 -c:a libmp3lame -id3v2_version 0 -write_xing 0 -f mp3 '" + mp3 + "' 2>&1"), "");
    std::vector<uint8_t> frames = readAll(mp3);
    ASSERT_GT(frames.size(), 1000u);
    std::vector<uint8_t> flv = {'F', 'L', 'V', 1, 4, 0, 0, 0, 9, 0, 0, 0, 0};
    for (size_t at = 0; at < frames.size(); at += 500) {
      size_t n = std::min<size_t>(500, frames.size() - at) + 1;
      uint32_t ms = uint32_t(at / 10);
      for (uint8_t b : {uint8_t(8), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), uint8_t(ms >> 16), uint8_t(ms >> 8),
                        uint8_t(ms), uint8_t(0), uint8_t(0), uint8_t(0), uint8_t(0), uint8_t(0x2E)})
        flv.push_back(b);
      flv.insert(flv.end(), frames.begin() + long(at), frames.begin() + long(at + n - 1));
      for (int shift : {24, 16, 8, 0}) flv.push_back(uint8_t((n + 11) >> shift));
    }
    std::string path = dir.file("a.flv");
    writeAll(path, flv);
    ASSERT_EQ(refresh(path), 1);
    Amf0Value meta;
    ASSERT_TRUE(readMetadata(parseTags(readAll(path)), &meta));
    std::string probed = run("ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 '" + mp3 + "'");
    EXPECT_EQ(probed, std::to_string(rate) + "\n");
    EXPECT_EQ(number(meta, "audiosamplerate"), rate);
  }
}

// A script tag with an AMF0 name and one number.
std::vector<uint8_t> scriptTag(const std::string& name, uint32_t ms) {
  std::vector<uint8_t> data;
  Amf0Writer w(data);
  w.string(name);
  w.beginObject();
  w.key("time"), w.number(ms / 1000.0);
  w.endObject();
  std::vector<uint8_t> tag;
  tag.reserve(11 + data.size() + 4);
  for (uint8_t b : {uint8_t(18), uint8_t(data.size() >> 16), uint8_t(data.size() >> 8), uint8_t(data.size()),
                    uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms), uint8_t(ms >> 24), uint8_t(0), uint8_t(0),
                    uint8_t(0)})
    tag.push_back(b);
  for (uint8_t b : data) tag.push_back(b);
  uint32_t previous = uint32_t(11 + data.size());
  for (int shift : {24, 16, 8, 0}) tag.push_back(uint8_t(previous >> shift));
  return tag;
}

class MetadataFile : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("in.flv");
    ASSERT_TRUE(makeFlv(path_, std::string(kVideo) + " " + kAudio44, "-t 4 -c:v flv -c:a libmp3lame"));
    original_ = readAll(path_);
  }
  void TearDown() override {
    setTestHook(nullptr);
    setUpdateMethod(UpdateMethod::kAny);
  }
  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> original_;
};

TEST_F(MetadataFile, StaleMetadataIsReplacedAndCuePointsKept) {
  ASSERT_TRUE(makeFlv(path_, std::string(kVideo) + " " + kAudio44, "-t 4 -c:v flv -c:a libmp3lame", true));
  std::vector<uint8_t> bytes = readAll(path_);
  std::vector<ParsedTag> tags = parseTags(bytes);
  ASSERT_EQ(countMetadataTags(tags), 1);  // ffmpeg's own, in front
  // A cue point and a second stale onMetaData between the tags.
  std::vector<uint8_t> cue = scriptTag("onCuePoint", tags[6].timestamp);
  std::vector<uint8_t> stale = scriptTag("onMetaData", tags[9].timestamp);
  bytes.insert(bytes.begin() + long(tags[9].position), stale.begin(), stale.end());
  bytes.insert(bytes.begin() + long(tags[6].position), cue.begin(), cue.end());
  writeAll(path_, bytes);

  ASSERT_EQ(refresh(path_), 1);
  ASSERT_EQ(refresh(path_), 1);  // twice: still one
  tags = parseTags(readAll(path_));
  EXPECT_EQ(countMetadataTags(tags), 1);
  Amf0Value meta;
  EXPECT_TRUE(readMetadata(tags, &meta));
  int cues = 0;
  for (const ParsedTag& t : tags) {
    if (t.type == 18 && t.data.size() + 15 == cue.size() && std::equal(t.data.begin(), t.data.end(), cue.begin() + 11)) ++cues;
  }
  EXPECT_EQ(cues, 1);
  EXPECT_EQ(flvmetaComplaints(path_, false), std::vector<std::string>{});
}

TEST_F(MetadataFile, TruncatedLastTagEndsTheScan) {
  std::vector<uint8_t> cut(original_.begin(), original_.end() - 100);
  writeAll(path_, cut);
  size_t wholeTags = parseTags(cut).size();
  ASSERT_EQ(refresh(path_), 1);
  std::vector<uint8_t> bytes = readAll(path_);
  std::vector<ParsedTag> tags = parseTags(bytes);
  EXPECT_EQ(tags.size(), wholeTags + 1);
  const ParsedTag& last = tags.back();
  EXPECT_EQ(last.position + 15 + last.data.size(), bytes.size());  // the broken tail is gone
  EXPECT_EQ(flvmetaComplaints(path_, false), std::vector<std::string>{});
}

// A stamp with the top bit set is the format's signed value, -10 ms here
// (old repairs moved video there): the file stays 4 s long, not 49.7 days.
TEST_F(MetadataFile, TimestampsWithTheTopBitSetAreBeforeZero) {
  std::vector<uint8_t> bytes = original_;
  std::vector<ParsedTag> tags = parseTags(bytes);
  size_t video = 0;
  while (video < tags.size() && tags[video].type != 9) ++video;
  ASSERT_LT(video, tags.size());
  const uint8_t minus10[4] = {0xFF, 0xFF, 0xF6, 0xFF};
  std::copy(minus10, minus10 + 4, bytes.begin() + long(tags[video].position) + 4);
  writeAll(path_, bytes);
  ASSERT_EQ(refresh(path_), 1);
  Amf0Value meta;
  ASSERT_TRUE(readMetadata(parseTags(readAll(path_)), &meta));
  EXPECT_NEAR(number(meta, "duration"), 4.0, 0.2);
  EXPECT_NEAR(number(meta, "lasttimestamp"), 4.0, 0.2);
  const Amf0Value* times = meta.find("keyframes") ? meta.find("keyframes")->find("times") : nullptr;
  ASSERT_NE(times, nullptr);
  ASSERT_FALSE(times->members.empty());
  EXPECT_EQ(times->members[0].second.number, -0.01);
}

TEST_F(MetadataFile, NotAnFlvFails) {
  std::vector<uint8_t> junk(1000, 0x47);
  writeAll(path_, junk);
  EXPECT_EQ(refresh(path_), 0);
  EXPECT_EQ(readAll(path_), junk);
}

TEST_F(MetadataFile, HeaderOnlyFileGetsMetadata) {
  std::vector<uint8_t> header(original_.begin(), original_.begin() + 13);
  writeAll(path_, header);
  ASSERT_EQ(refresh(path_), 1);
  std::vector<ParsedTag> tags = parseTags(readAll(path_));
  Amf0Value meta;
  ASSERT_TRUE(readMetadata(tags, &meta));
  EXPECT_EQ(tags.size(), 1u);
  EXPECT_EQ(meta.find("hasAudio")->number, 0);
  EXPECT_EQ(readAll(path_)[4], 0);
}

TEST_F(MetadataFile, FileChangedSinceParseIsNotRewritten) {
  void* meta = FlvMetaCreateObject();
  ASSERT_EQ(FlvMetaParseFromFile(meta, path_.c_str()), 1);
  std::vector<uint8_t> shorter(original_.begin(), original_.end() - 4000);
  writeAll(path_, shorter);
  EXPECT_EQ(FlvMetaUpdateToFile(meta, path_.c_str()), 0);
  FlvMetaDeleteObject(meta);
  EXPECT_EQ(readAll(path_), shorter);
}

// The update writes the file its name holds, and only the one it parsed:
// never through a link (a copy would be renamed over the link), never
// another file put at the name since.
TEST_F(MetadataFile, OnlyTheFileItselfIsUpdated) {
  std::filesystem::create_symlink(path_, dir_.file("link.flv"));
  void* meta = FlvMetaCreateObject();
  EXPECT_EQ(FlvMetaParseFromFile(meta, dir_.file("link.flv").c_str()), 0);
  EXPECT_EQ(FlvMetaUpdateToFile(meta, dir_.file("link.flv").c_str()), 0);
  writeAll(dir_.file("other.flv"), original_);
  ASSERT_EQ(FlvMetaParseFromFile(meta, dir_.file("other.flv").c_str()), 1);
  std::filesystem::rename(dir_.file("other.flv"), dir_.file("parsed.flv"));
  std::filesystem::create_symlink(path_, dir_.file("other.flv"));
  EXPECT_EQ(FlvMetaUpdateToFile(meta, dir_.file("other.flv").c_str()), 0);
  std::filesystem::remove(dir_.file("other.flv"));
  std::filesystem::copy_file(path_, dir_.file("other.flv"));
  EXPECT_EQ(FlvMetaUpdateToFile(meta, dir_.file("other.flv").c_str()), 0);
  FlvMetaDeleteObject(meta);
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link.flv")));
  EXPECT_EQ(readAll(path_), original_);
}

UpdateStep gFailAt;
bool failAt(UpdateStep step) { return step != gFailAt; }

TEST_F(MetadataFile, FailedWritesLeaveTheFileAsItWas) {
  struct Attempt {
    UpdateMethod method;
    UpdateStep step;
  };
  for (Attempt a : {Attempt{UpdateMethod::kInPlace, UpdateStep::kBeforeInsert},
                    Attempt{UpdateMethod::kInPlace, UpdateStep::kAfterInsert},
                    Attempt{UpdateMethod::kCopy, UpdateStep::kCopying},
                    Attempt{UpdateMethod::kCopy, UpdateStep::kBeforeRename}}) {
    setUpdateMethod(a.method);
    gFailAt = a.step;
    setTestHook(failAt);
    EXPECT_EQ(refresh(path_), 0) << int(a.step);
    EXPECT_EQ(readAll(path_), original_) << int(a.step);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1) << "a temporary file is left";
  }
}

TEST_F(MetadataFile, KilledUpdateLeavesOldOrNewFile) {
  // Kill the copy at random moments, and the in-place update before its insert.
  for (int attempt = 0; attempt < 6; ++attempt) {
    writeAll(path_, original_);
    bool inPlace = attempt == 0;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setUpdateMethod(inPlace ? UpdateMethod::kInPlace : UpdateMethod::kCopy);
      if (inPlace) setTestHook([](UpdateStep step) {
        if (step == UpdateStep::kBeforeInsert) raise(SIGKILL);
        return true;
      });
      _exit(refresh(path_) ? 0 : 1);
    }
    if (!inPlace) usleep(static_cast<useconds_t>(attempt * 300));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::vector<uint8_t> now = readAll(path_);
    if (now == original_) continue;
    std::vector<ParsedTag> tags = parseTags(now);
    Amf0Value meta;
    ASSERT_TRUE(readMetadata(tags, &meta)) << "attempt " << attempt;
    EXPECT_EQ(number(meta, "filesize"), double(now.size()));
  }
}

TEST_F(MetadataFile, InPlaceWhereTheFileSystemAllowsElseCopy) {
  TempDir memory("/dev/shm");
  for (const std::string& where : {dir_.path(), memory.path()}) {
    std::string path = where + "/f.flv";
    writeAll(path, original_);
    ::chmod(path.c_str(), 0640);
    void* meta = FlvMetaCreateObject();
    ASSERT_EQ(FlvMetaParseFromFile(meta, path.c_str()), 1);
    ASSERT_EQ(FlvMetaUpdateToFile(meta, path.c_str()), 1);
    FlvMetaDeleteObject(meta);
    // A copy renamed over the file takes its permissions.
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640)) << where;
    std::vector<uint8_t> bytes = readAll(path);
    std::vector<ParsedTag> tags = parseTags(bytes);
    ASSERT_FALSE(tags.empty());
    EXPECT_EQ(tags.back().position + 15 + tags.back().data.size(), bytes.size());
    // The media tags are the original's, byte for byte, behind the metadata.
    size_t mediaStart = tags[1].position;
    EXPECT_TRUE(std::equal(bytes.begin() + long(mediaStart), bytes.end(), original_.begin() + 13));
    EXPECT_EQ(flvmetaComplaints(path, false), std::vector<std::string>{});
    EXPECT_EQ(run("ffprobe -v error -show_format '" + path + "' 2>&1 >/dev/null"), "");
  }
}

// The tags of from, written to to through the library's writer, which
// leaves room for metadata in front of them.
bool copyThroughWriter(const std::string& from, const std::string& to) {
  void* reader = CreateFileReadAble(from.c_str());
  void* writer = CreateFileWriteAble(to.c_str());
  FlvHeaderRecord header{};
  TagRecord tag{};
  bool ok = reader && writer && Flv_ReadHeader(reader, &header) && Flv_WriteHeader(writer, &header);
  while (ok && Flv_ReadTag(reader, 1, &tag)) ok = Flv_WriteTag(writer, &tag) != 0;
  Flv_FreeTag(&tag);
  if (reader) DeleteFileReadAble(reader);
  return writer && DeleteFileWritable(writer) && ok;
}

// A file from the writer takes its metadata over the room in front: no
// tag moves and the file keeps its size, on any file system (tmpfs cannot
// insert blocks). A failed write of the metadata puts the old bytes back.
TEST_F(MetadataFile, WritersRoomTakesTheMetadataInPlace) {
  TempDir memory("/dev/shm");
  for (const std::string& where : {dir_.path(), memory.path()}) {
    std::string path = where + "/w.flv";
    ASSERT_TRUE(copyThroughWriter(path_, path));
    std::vector<uint8_t> written = readAll(path);
    std::vector<ParsedTag> before = parseTags(written);
    ASSERT_EQ(countMetadataTags(before), 1);  // the placeholder
    ASSERT_EQ(before[0].position, 13u);
    size_t room = before[1].position - 13;
    EXPECT_EQ(room, 2048u) << "room for a file of " << original_.size() << " bytes";
    EXPECT_TRUE(std::equal(written.begin() + long(before[1].position), written.end(), original_.begin() + 13));

    setUpdateMethod(UpdateMethod::kInPlace);
    gFailAt = UpdateStep::kBeforeOverwrite;
    setTestHook(failAt);
    EXPECT_EQ(refresh(path), 0);
    EXPECT_EQ(readAll(path), written);
    setTestHook(nullptr);

    ASSERT_EQ(refresh(path), 1) << where;
    std::vector<uint8_t> bytes = readAll(path);
    ASSERT_EQ(bytes.size(), written.size());
    EXPECT_TRUE(std::equal(bytes.begin() + long(before[1].position), bytes.end(), written.begin() + long(before[1].position)));
    std::vector<ParsedTag> tags = parseTags(bytes);
    Amf0Value meta;
    ASSERT_TRUE(readMetadata(tags, &meta));
    EXPECT_EQ(number(meta, "filesize"), double(bytes.size()));
    EXPECT_GT(number(meta, "duration"), 3.9);
    const Amf0Value* keyframes = meta.find("keyframes");
    ASSERT_TRUE(keyframes && keyframes->find("filepositions"));
    for (const auto& [unused, at] : keyframes->find("filepositions")->members) {
      size_t position = static_cast<size_t>(at.number);
      ASSERT_LT(position, bytes.size());
      EXPECT_EQ(bytes[position], 9) << "not a video tag at " << position;
    }
    EXPECT_EQ(flvmetaComplaints(path, false), std::vector<std::string>{});
    EXPECT_EQ(run("ffprobe -v error -show_format '" + path + "' 2>&1 >/dev/null"), "");
  }
}

// Every other frame a key frame: the index outgrows the room, and the file is
// refreshed the slower ways, its media tags unchanged.
TEST_F(MetadataFile, MetadataOutgrowingTheRoomStillFits) {
  ASSERT_TRUE(makeFlv(path_, std::string(kVideo) + " " + kAudio44, "-t 12 -c:v flv -g 2 -c:a libmp3lame"));
  original_ = readAll(path_);
  TempDir memory("/dev/shm");
  for (const std::string& where : {dir_.path(), memory.path()}) {
    std::string path = where + "/w.flv";
    ASSERT_TRUE(copyThroughWriter(path_, path));
    ASSERT_EQ(refresh(path), 1) << where;
    std::vector<uint8_t> bytes = readAll(path);
    std::vector<ParsedTag> tags = parseTags(bytes);
    Amf0Value meta;
    ASSERT_TRUE(readMetadata(tags, &meta));
    EXPECT_GT(tags[0].data.size(), 2048u);
    EXPECT_EQ(number(meta, "filesize"), double(bytes.size()));
    ASSERT_EQ(meta.find("keyframes")->find("times")->members.size(), 150u);
    EXPECT_TRUE(std::equal(bytes.begin() + long(tags[1].position), bytes.end(), original_.begin() + 13));
    EXPECT_EQ(flvmetaComplaints(path, false), std::vector<std::string>{});
  }
}

// A sparse file past 4 GiB: big audio tags of zeros between two key frames.
TEST(MetadataLargeFile, OffsetsPastFourGigabytes) {
  TempDir dir;
  std::string path = dir.file("big.flv");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  auto put = [f](const std::vector<uint8_t>& b) { fwrite(b.data(), 1, b.size(), f); };
  auto tagHeader = [](int type, uint32_t size, uint32_t ms) {
    return std::vector<uint8_t>{uint8_t(type), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
                                uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms), 0, 0, 0, 0};
  };
  auto previous = [](uint32_t size) {
    return std::vector<uint8_t>{uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
  };
  put({'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
  std::vector<uint8_t> keyframe = {0x12, 0x00, 0x00, 0x84, 0x00, 0x05, 0x00, 0x00};  // H.263 320x240
  const uint32_t kBig = 0xFFFFF0;
  for (uint32_t ms = 0, i = 0; i < 260; ++i, ms += 100) {
    if (i == 0) put(tagHeader(9, uint32_t(keyframe.size()), 0)), put(keyframe), put(previous(11 + uint32_t(keyframe.size())));
    put(tagHeader(8, kBig, ms));
    put({0x2E});
    fseeko(f, kBig - 1, SEEK_CUR);  // a hole
    put(previous(11 + kBig));
  }
  long long lastKeyAt = ftello(f);
  put(tagHeader(9, uint32_t(keyframe.size()), 26000)), put(keyframe), put(previous(11 + uint32_t(keyframe.size())));
  fclose(f);
  ASSERT_GT(lastKeyAt, 1LL << 32);

  // The kernel copy of 4 GiB of holes would write them out: in place only.
  setUpdateMethod(UpdateMethod::kInPlace);
  platform::File file;
  ASSERT_TRUE(file.open(path.c_str(), platform::File::Mode::kRead));
  FlvScan scan;
  ASSERT_TRUE(scanFlv(file, &scan));
  platform::FileVersion scanned;
  ASSERT_TRUE(file.version(&scanned));
  file.close();
  UpdateResult result = updateMetadata(scan, path.c_str(), scanned.id);
  setUpdateMethod(UpdateMethod::kAny);
  if (result == UpdateResult::kNotTried) GTEST_SKIP() << "no block insertion on this file system";
  ASSERT_EQ(result, UpdateResult::kDone);

  std::vector<uint8_t> head(1 << 16);
  f = fopen(path.c_str(), "rb");
  size_t n = fread(head.data(), 1, head.size(), f);
  head.resize(n);
  uint32_t size = be(&head[14], 3);
  Amf0Value name, meta;
  size_t used = readAmf0(&head[24], size, &name);
  ASSERT_GT(used, 0u);
  ASSERT_GT(readAmf0(&head[24 + used], size - used, &meta), 0u);
  fseeko(f, 0, SEEK_END);
  double fileSize = double(ftello(f));
  EXPECT_EQ(number(meta, "filesize"), fileSize);
  double location = number(meta, "lastkeyframelocation");
  EXPECT_GT(location, double(1LL << 32));
  uint8_t tag[12];
  fseeko(f, static_cast<off_t>(location), SEEK_SET);
  ASSERT_EQ(fread(tag, 1, 12, f), 12u);
  fclose(f);
  EXPECT_EQ(tag[0], 9);
  EXPECT_EQ(be(tag + 4, 3), 26000u);
  EXPECT_EQ(tag[11], 0x12);
  const auto& positions = meta.find("keyframes")->find("filepositions")->members;
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(positions[1].second.number, location);
}

}  // namespace
}  // namespace tarvel
