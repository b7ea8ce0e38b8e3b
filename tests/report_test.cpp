// tagmend-report end to end: a recording that ffmpeg made, its audio
// stamped by a clock 2.5 % fast (scripts/flvdrift.py) with a gap cut into
// it, reported before and after tagmend repairs it; the JSON read by
// Python's parser, the picture drawn by a real SVG renderer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

std::string reportPath() { return binDir() + "/tagmend-report"; }

RunResult report(const std::vector<std::string>& args) {
  std::vector<std::string> argv{reportPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

// Ten audio tags in the middle of the file emptied to their flags byte: a
// gap of their stamped length, which the drift must leave out.
void cutGap(Flv& f) {
  std::vector<Tag*> audio;
  for (Tag& t : f.tags) {
    if (t.type == 8) audio.push_back(&t);
  }
  ASSERT_GT(audio.size(), 200u);
  for (size_t i = 300; i < 310; ++i) audio[i]->data.resize(1);
}

class Report : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveTool("ffmpeg") || !haveTool("python3")) return;
    dir_ = new TempDir;
    std::string clean = makeWithFfmpeg(dir_->file("clean.flv"),
        "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 20 "
        "-c:v libx264 -preset ultrafast -g 25 -c:a libmp3lame -b:a 64k -f flv");
    std::string fast = dir_->file("fast.flv");
    RunResult drifted = run({"python3", sourceDir() + "/scripts/flvdrift.py", clean, fast, "--factor", "1.025",
                             "--jitter", "12"});
    ASSERT_EQ(drifted.exitCode, 0) << drifted.err;
    Flv f = readFlv(fast);
    cutGap(f);
    writeFlv(fast, f);
    RunResult mended = tagmend(fast, dir_->file("mended"));
    ASSERT_EQ(mended.exitCode, 0);
    // The audio stored from 8 to 13 s lost, the picture going on.
    Flv holed = readFlv(clean);
    std::erase_if(holed.tags, [](const Tag& t) { return t.type == 8 && t.timestamp >= 8000 && t.timestamp < 13000; });
    writeFlv(dir_->file("holed.flv"), holed);
    ASSERT_EQ(tagmend(dir_->file("holed.flv"), dir_->file("holed-mended")).exitCode, 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg or python3 missing (scripts/install-deps.sh)";
  }
  static std::string file(const char* name) { return dir_->file(name); }

  static TempDir* dir_;
};
TempDir* Report::dir_ = nullptr;

// Python's json module reads the array, checks every object has exactly the
// keys the report promises, and prints one line per file.
const char* kReadJson = R"(
import json, sys
top = {"file", "audio", "video", "max_av_offset_ms", "events", "events_total", "metadata", "verdict", "tagmend_exit"}
nested = {"audio": {"format", "content_ms", "stamped_ms", "drift_percent", "gaps", "gap_ms"},
          "video": {"codec", "frames", "keyframes"},
          "metadata": {"present", "duration_matches", "keyframes_index"}}
for r in json.load(open(sys.argv[1])):
    bad = set(r) ^ top
    for k, keys in nested.items():
        bad |= set(r.get(k, {})) ^ keys
    for e in r["events"]:
        bad |= set(e) ^ {"offset", "ms", "kind"}
    a, m = r["audio"], r["metadata"]
    n = lambda v: -1 if v is None else v
    print(a["format"] or "-", n(a["drift_percent"]), a["gaps"], round(a["gap_ms"]), n(r["max_av_offset_ms"]),
          r["verdict"].replace(" ", "_"), r["tagmend_exit"], int(m["present"]), int(m["duration_matches"]),
          int(m["keyframes_index"]), r["video"]["codec"] or "-", ",".join(sorted(bad)) or "-")
)";

struct JsonLine {
  std::string format, verdict, codec, badKeys;
  double drift = 0, offset = 0;
  int gaps = 0, gapMs = 0, tagmendExit = -1, present = 0, durationMatches = 0, index = 0;
};

std::vector<JsonLine> readJson(const std::string& path) {
  RunResult py = run({"python3", "-c", kReadJson, path});
  EXPECT_EQ(py.exitCode, 0) << py.err;
  std::vector<JsonLine> lines;
  std::istringstream in(py.out);
  JsonLine l;
  while (in >> l.format >> l.drift >> l.gaps >> l.gapMs >> l.offset >> l.verdict >> l.tagmendExit >> l.present >>
         l.durationMatches >> l.index >> l.codec >> l.badKeys) {
    lines.push_back(l);
  }
  return lines;
}

TEST_F(Report, DriftOfAFastClockBeforeAndAfterTheRepair) {
  std::string json = file("report.json");
  std::string svg = file("report.svg");
  RunResult r = report({"--json", "--svg", svg, file("fast.flv"), file("mended.flv")});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err, "");
  writeBytes(json, std::vector<uint8_t>(r.out.begin(), r.out.end()));
  std::vector<JsonLine> lines = readJson(json);
  ASSERT_EQ(lines.size(), 2u) << r.out;

  const JsonLine& before = lines[0];
  EXPECT_EQ(before.badKeys, "-");
  EXPECT_EQ(before.format, "mp3");
  EXPECT_EQ(before.codec, "h264");
  EXPECT_NEAR(before.drift, 2.5, 0.5);
  EXPECT_EQ(before.gaps, 1);
  EXPECT_NEAR(before.gapMs, 10 * 26.12 * 1.025, 30);
  EXPECT_GT(before.offset, 200);  // 20 s at 2.5 %: half a second by the end
  EXPECT_EQ(before.verdict, "needs_repair");
  EXPECT_EQ(before.tagmendExit, 0);

  const JsonLine& after = lines[1];
  EXPECT_EQ(after.badKeys, "-");
  EXPECT_LT(std::abs(after.drift), 0.1);
  EXPECT_LE(after.offset, 40);
  EXPECT_EQ(after.present + after.durationMatches + after.index, 3);
  EXPECT_EQ(after.verdict, "ok");

  // The picture: plain SVG that a real renderer draws at 1000 px.
  std::string text;
  for (uint8_t c : readBytes(svg)) text += static_cast<char>(c);
  EXPECT_EQ(text.find("<script"), std::string::npos);
  EXPECT_EQ(text.find("@font-face"), std::string::npos);
  EXPECT_NE(text.find("fast.flv (drift +2."), std::string::npos);
  if (!haveTool("rsvg-convert")) FAIL() << "rsvg-convert missing (package librsvg2-bin, scripts/install-deps.sh)";
  std::string png = file("report.png");
  RunResult drawn = run({"rsvg-convert", "-o", png, svg});
  ASSERT_EQ(drawn.exitCode, 0) << drawn.err;
  std::vector<uint8_t> b = readBytes(png);
  ASSERT_GT(b.size(), 24u);
  EXPECT_EQ(std::string(b.begin() + 1, b.begin() + 4), "PNG");
  EXPECT_EQ((b[16] << 24) | (b[17] << 16) | (b[18] << 8) | b[19], 1000);  // IHDR width
}

TEST_F(Report, SpeexDriftIsMeasuredByItsFramesAndTheVerdictNamesTheOption) {
  // Two 20 ms frames per tag, as Flash sends them.
  std::string clean = makeWithFfmpeg(file("speex.flv"),
      "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=16000 -t 10 "
      "-c:v flv -c:a libspeex -ac 1 -frames_per_packet 2 -f flv");
  std::string fast = file("speex-fast.flv");
  RunResult drifted = run({"python3", sourceDir() + "/scripts/flvdrift.py", clean, fast, "--factor", "1.025"});
  ASSERT_EQ(drifted.exitCode, 0) << drifted.err;
  RunResult r = report({"--json", clean, fast});
  EXPECT_EQ(r.err, "");
  std::string json = file("speex.json");
  writeBytes(json, std::vector<uint8_t>(r.out.begin(), r.out.end()));
  std::vector<JsonLine> lines = readJson(json);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0].format, "speex");
  EXPECT_LT(std::abs(lines[0].drift), 0.1);
  EXPECT_NEAR(lines[1].drift, 2.5, 0.2);
  EXPECT_EQ(lines[1].verdict, "needs_repair_with_--speex");
  EXPECT_EQ(lines[1].tagmendExit, 0);
}

// The clock of a recording jumps 5 s forward 4 s before its end (every tag
// from a video tag between two audio tags on); the repair holds the video
// read between those audio tags and moves what was stamped after the jump
// with the audio after it, so that every frame after the jump moves back by
// it. The report's predicted offset must be the repair's: the largest
// distance, over the video after the first audio tag, between where the
// repaired file puts a frame and where it stood, from the start of the
// sound.
int64_t repairedOffsetMs(const Flv& input, const Flv& repaired) {
  std::vector<const Tag*> before = tagsOfType(input, 9), after = tagsOfType(repaired, 9);
  EXPECT_EQ(before.size(), after.size());
  int64_t start = -1, offset = 0;
  size_t video = 0;
  for (const Tag& t : input.tags) {
    if (t.type == 8 && start < 0) start = t.timestamp;
    if (t.type != 9 || video >= after.size()) continue;
    const Tag* placed = after[video++];
    if (start >= 0) offset = std::max<int64_t>(offset, std::llabs(int64_t{placed->timestamp} - (int64_t{t.timestamp} - start)));
  }
  return offset;
}

void jumpClock(Flv& f, uint32_t atMs, uint32_t byMs) {
  bool audioSeen = false;
  size_t at = 0;
  for (size_t i = 0; i < f.tags.size() && at == 0; ++i) {
    if (f.tags[i].type == 8 && f.tags[i].timestamp >= atMs) audioSeen = true;
    if (f.tags[i].type == 9 && audioSeen) at = i;
  }
  ASSERT_GT(at, 0u);
  for (size_t i = at; i < f.tags.size(); ++i) f.tags[i].timestamp += byMs;
}

TEST_F(Report, PredictedOffsetIsTheRepairsAcrossAClockJump) {
  std::string mp3 = makeWithFfmpeg(file("jump-mp3.flv"),
      "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 12 "
      "-c:v flv -c:a libmp3lame -b:a 64k -f flv");
  std::string pcm = makeWithFfmpeg(file("jump-pcm.flv"),
      "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 12 "
      "-c:v flv -c:a pcm_s16le -f flv");
  for (const std::string& path : {mp3, pcm}) {
    Flv f = readFlv(path);
    ASSERT_TRUE(f.ok) << f.problem;
    // ffmpeg writes PCM as sound format 3; the recorders tagmend repairs write 0.
    for (Tag& t : f.tags) {
      if (t.type == 8 && !t.data.empty() && soundFormat(t) == 3) t.data[0] &= 0x0F;
    }
    jumpClock(f, 8000, 5000);
    writeFlv(path, f);
    std::string prefix = path.substr(0, path.size() - 4) + "-mended";
    RunResult mended = tagmend(path, prefix);
    ASSERT_EQ(mended.exitCode, 0) << mended.err;
    int64_t repaired = repairedOffsetMs(f, readFlv(prefix + ".flv"));

    RunResult r = report({"--json", path});
    writeBytes(file("jump.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
    std::vector<JsonLine> lines = readJson(file("jump.json"));
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].offset, repaired) << path;
    EXPECT_NEAR(repaired, 5000, 100) << path;
  }
}

TEST_F(Report, AHoleInTheAudioIsAGapNotAJumpOrDriftBeforeAndAfterTheRepair) {
  RunResult r = report({"--json", file("holed.flv"), file("holed-mended.flv")});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out.find("jump_forward"), std::string::npos) << r.out;
  writeBytes(file("holed.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
  std::vector<JsonLine> lines = readJson(file("holed.json"));
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (const JsonLine& l : lines) {
    EXPECT_EQ(l.gaps, 1);
    EXPECT_NEAR(l.gapMs, 5000, 60);
    EXPECT_LT(std::abs(l.drift), 0.1);
    EXPECT_LE(l.offset, 40);
  }
  EXPECT_EQ(lines[1].verdict, "ok");
}

TEST_F(Report, ExitCodesAndTheTable) {
  RunResult ok = report({file("mended.flv")});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  std::istringstream table(ok.out);
  std::string header, row;
  std::getline(table, header);
  std::getline(table, row);
  EXPECT_EQ(header.rfind("FILE", 0), 0u) << ok.out;
  EXPECT_NE(row.find(" mp3 "), std::string::npos) << ok.out;
  EXPECT_EQ(row.substr(row.size() - 4), "  ok") << ok.out;

  // No audio: tagmend would refuse it (exit 7).
  std::string silent = makeWithFfmpeg(file("silent.flv"), "-f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v flv -f flv");
  RunResult json = report({"--json", silent});
  EXPECT_EQ(json.exitCode, 1);
  writeBytes(file("silent.json"), std::vector<uint8_t>(json.out.begin(), json.out.end()));
  std::vector<JsonLine> lines = readJson(file("silent.json"));
  ASSERT_EQ(lines.size(), 1u) << json.out;
  EXPECT_EQ(lines[0].verdict, "cannot_repair");
  EXPECT_EQ(lines[0].tagmendExit, 7);

  // A correct 0.3 s clip and its repair: the whole-millisecond stamps are
  // some 0.2 % off its length, which no viewer sees (less than a frame).
  std::string shortClip = makeWithFfmpeg(file("short.flv"),
      "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 0.3 "
      "-c:v libx264 -preset ultrafast -g 25 -c:a libmp3lame -b:a 64k -f flv");
  ASSERT_EQ(tagmend(shortClip, file("short-mended")).exitCode, 0);
  RunResult shortOk = report({"--json", shortClip, file("short-mended.flv")});
  EXPECT_EQ(shortOk.exitCode, 0) << shortOk.out;
  writeBytes(file("short.json"), std::vector<uint8_t>(shortOk.out.begin(), shortOk.out.end()));
  for (const JsonLine& l : readJson(file("short.json"))) {
    EXPECT_GT(std::fabs(l.drift), 0.1);  // what a bare percentage would have failed
    EXPECT_EQ(l.verdict, "ok");
  }

  // A missing file and one that is not FLV: named on stderr, the rest reported.
  writeBytes(file("text.flv"), {'h', 'e', 'l', 'l', 'o', '\n'});
  RunResult bad = report({file("missing.flv"), file("mended.flv"), file("text.flv")});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.err, "tagmend-report: " + file("missing.flv") + " cannot be opened\n" +
                     "tagmend-report: " + file("text.flv") + " is not an FLV file\n");
  EXPECT_EQ(bad.out, ok.out);
}

// An HEVC recording with B-frames through the extended video header, before
// and after the MP3 repair: the codec by its FourCC, the four key frames
// ffprobe flags (sequence starts and metadata packets aside), and an index
// that points at them only once the repair wrote one.
TEST_F(Report, EnhancedVideoByFourCcAndItsKeyFrames) {
  std::string sample = sourceDir() + "/samples/enhanced/hevcb_mp3.flv";
  ASSERT_EQ(tagmend(sample, file("hevcb")).exitCode, 0);
  RunResult r = report({"--json", sample, file("hevcb.flv")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string video = "\"video\": {\"codec\": \"hvc1\", \"frames\": 100, \"keyframes\": 4}";
  size_t first = r.out.find(video);
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_NE(r.out.find(video, first + 1), std::string::npos) << r.out;
  size_t index = r.out.find("\"keyframes_index\": false");
  ASSERT_NE(index, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"keyframes_index\": true", index), std::string::npos) << r.out;
}

// An AAC recording stamped by the same fast clock: measured by its frames,
// its verdict names the option that repairs it, and the repair is "ok".
TEST_F(Report, AacDriftAndTheOptionThatRepairsIt) {
  std::string clean = makeWithFfmpeg(file("aac-clean.flv"),
      "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 "
      "-c:v libx264 -preset ultrafast -bf 0 -g 25 -c:a aac -f flv");
  std::string fast = file("aac-fast.flv");
  RunResult drifted = run({"python3", sourceDir() + "/scripts/flvdrift.py", clean, fast, "--factor", "1.025",
                           "--jitter", "12"});
  ASSERT_EQ(drifted.exitCode, 0) << drifted.err;
  RunResult mended = run({tagmendPath(), "--aac", fast, file("aac-mended")});
  ASSERT_EQ(mended.exitCode, 0) << mended.err;
  RunResult r = report({"--json", fast, file("aac-mended.flv")});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  writeBytes(file("aac.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
  std::vector<JsonLine> lines = readJson(file("aac.json"));
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0].format, "aac");
  EXPECT_NEAR(lines[0].drift, 2.5, 0.5);
  EXPECT_GT(lines[0].offset, 200);
  EXPECT_EQ(lines[0].verdict, "needs_repair_with_--aac");
  EXPECT_EQ(lines[0].tagmendExit, 0);
  EXPECT_LT(std::abs(lines[1].drift), 0.1);
  EXPECT_LE(lines[1].offset, 40);
  EXPECT_EQ(lines[1].verdict, "ok");
  // The same stream behind the extended header's "mp4a" is measured as AAC.
  Flv extended = readFlv(fast);
  for (Tag& t : extended.tags) {
    if (t.type != 8 || t.data.size() < 2) continue;
    std::vector<uint8_t> data = {uint8_t(0x90 | t.data[1]), 'm', 'p', '4', 'a'};
    data.insert(data.end(), t.data.begin() + 2, t.data.end());
    t.data = data;
  }
  writeFlv(file("aac-ex.flv"), extended);
  r = report({"--json", file("aac-ex.flv")});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  writeBytes(file("aac-ex.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
  std::vector<JsonLine> ex = readJson(file("aac-ex.json"));
  ASSERT_EQ(ex.size(), 1u) << r.out;
  EXPECT_EQ(ex[0].format, "mp4a");
  EXPECT_NEAR(ex[0].drift, lines[0].drift, 0.01);
  EXPECT_NEAR(ex[0].offset, lines[0].offset, 1);
  EXPECT_EQ(ex[0].verdict, "needs_repair_with_--aac");
}

// A file name that is no UTF-8 (a byte of another encoding) and holds a
// control character: the JSON stays JSON and keeps the name's bytes (as
// surrogate escapes, which Python reads back to them), the SVG stays
// well-formed XML. --help and --version answer on standard output.
TEST_F(Report, OddFileNamesAndTheUsualOptions) {
  const std::string odd = dir_->path() + "/caf\xe9\x01.flv";
  writeBytes(odd, readBytes(file("mended.flv")));
  const std::string svg = file("odd.svg");
  RunResult r = report({"--json", "--svg", svg, odd});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  writeBytes(file("odd.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
  const char* check = R"(
import json, sys, xml.etree.ElementTree as ET
name = json.load(open(sys.argv[1]))[0]["file"].encode("utf-8", "surrogateescape")
print(name == sys.argv[3].encode("utf-8", "surrogateescape"), len(ET.parse(sys.argv[2]).getroot()) > 0)
)";
  RunResult py = run({"python3", "-c", check, file("odd.json"), svg, odd});
  EXPECT_EQ(py.out, "True True\n") << py.err << r.out;

  RunResult help = report({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: tagmend-report [--json] [--svg FILE] FILE...\n", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  RunResult version = report({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("tagmend-report ", 0), 0u) << version.out;
  EXPECT_EQ(report({"--bogus"}).exitCode, 2);
}

// The picture never replaces a recording: an input named as the SVG (by
// identity: "./" and a link spell it otherwise), or the SVG name forgotten
// so that the next recording takes its place, is refused (exit 2) and the
// file stays byte for byte; an older picture is replaced whole.
TEST_F(Report, TheSvgNeverReplacesARecording) {
  const std::vector<uint8_t> mended = readBytes(file("mended.flv"));
  const std::vector<uint8_t> fast = readBytes(file("fast.flv"));
  RunResult same = report({"--svg", dir_->path() + "/./mended.flv", file("mended.flv")});
  EXPECT_EQ(same.exitCode, 2);
  EXPECT_EQ(same.out, "");
  EXPECT_NE(same.err.find("is one of the inputs"), std::string::npos) << same.err;

  ASSERT_EQ(run({"ln", "-sf", file("mended.flv"), file("link.flv")}).exitCode, 0);
  EXPECT_EQ(report({"--svg", file("link.flv"), file("mended.flv")}).exitCode, 2);

  RunResult forgotten = report({"--svg", file("fast.flv"), file("mended.flv")});
  EXPECT_EQ(forgotten.exitCode, 2);
  EXPECT_NE(forgotten.err.find("not SVG"), std::string::npos) << forgotten.err;
  EXPECT_EQ(readBytes(file("mended.flv")), mended);
  EXPECT_EQ(readBytes(file("fast.flv")), fast);

  writeBytes(file("old.svg"), {'<', 's', 'v', 'g', '/', '>'});
  RunResult redrawn = report({"--svg", file("old.svg"), file("mended.flv")});
  EXPECT_EQ(redrawn.exitCode, 0) << redrawn.err;
  EXPECT_GT(readBytes(file("old.svg")).size(), 1000u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_->path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tagmend-report-"), std::string::npos);
  }
}

}  // namespace
}  // namespace e2e
