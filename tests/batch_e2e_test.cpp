// tagmend-batch end to end: a tree of a few hundred recordings made by
// ffmpeg (MP3 with a drifting clock, PCM, Nellymoser, video alone, MP3
// without video, damaged ones, the same names in different folders),
// repaired whole, killed half-way and run again; the same tree spread over
// shards by GNU parallel. The manifest is read by Python's json module and
// checked against the files on disk and against tagmend run by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string batchPath() { return binDir() + "/tagmend-batch"; }

RunResult batch(const std::vector<std::string>& args) {
  std::vector<std::string> argv{batchPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, "", {}, 300);
}

// Reads every manifest*.jsonl in OUT (argv[2]) and the .flv files in IN
// (argv[1]); the lines of the file named by argv[3], when given, are the
// first run's. Prints a summary line, then "rel status exit" per input.
const char* kCheckManifests = R"(
import json, os, sys
ind, outd = sys.argv[1], sys.argv[2]
first = int(sys.argv[3]) if len(sys.argv) > 3 else 0
inputs = set()
for root, dirs, files in os.walk(ind):
    if os.path.abspath(root).startswith(os.path.abspath(outd)):
        continue
    for f in files:
        if f.lower().endswith(".flv"):
            inputs.add(os.path.relpath(os.path.join(root, f), ind))
lines, bad, keys = {}, 0, set()
want = {"input", "size", "hash", "before", "tagmend_exit", "outputs", "after", "status", "seconds"}
manifests = sorted(f for f in os.listdir(outd) if f.startswith("manifest") and f.endswith(".jsonl"))
in_manifests = {}
for m in manifests:
    for n, line in enumerate(open(os.path.join(outd, m))):
        try:
            r = json.loads(line)
        except ValueError:
            bad += 1
            continue
        keys |= set(r) ^ want
        lines.setdefault(r["input"], []).append((n, r))
        in_manifests.setdefault(r["input"], set()).add(m)
redone = sum(1 for rel, ls in lines.items() if any(n < first and r["status"] == "done" for n, r in ls) and
             any(n >= first for n, r in ls))
listed, mismatched, wrong_status, wrong_size = set(), 0, 0, 0
for rel, ls in lines.items():
    r = ls[-1][1]
    if r["size"] != os.path.getsize(os.path.join(ind, rel)):
        wrong_size += 1
    if (r["status"] == "done") != (r["tagmend_exit"] in (0, 7)):
        wrong_status += 1
    for o in r["outputs"]:
        listed.add(o["file"])
        p = os.path.join(outd, o["file"])
        if not os.path.isfile(p) or os.path.getsize(p) != o["size"]:
            mismatched += 1
orphans = 0
for root, dirs, files in os.walk(outd):
    for f in files:
        rel = os.path.relpath(os.path.join(root, f), outd)
        if not f.startswith(".") and not f.startswith("manifest") and rel not in listed:
            orphans += 1
print("inputs", len(inputs), "missing", len(inputs - set(lines)), "extra", len(set(lines) - inputs),
      "bad", bad, "keys", ",".join(sorted(keys)) or "-", "redone", redone, "mismatched", mismatched,
      "orphans", orphans, "status", wrong_status, "sizes", wrong_size,
      "several", sum(1 for s in in_manifests.values() if len(s) > 1))
for rel, ls in sorted(lines.items()):
    print(rel.replace(" ", "_"), ls[-1][1]["status"], ls[-1][1]["tagmend_exit"])
)";

struct Check {
  std::map<std::string, int> counts;  // the summary's numbers by name
  std::map<std::string, std::pair<std::string, int>> final;  // rel -> status, tagmend exit
  std::string text;
};

Check checkManifests(const std::string& in, const std::string& out, int firstLines = 0) {
  RunResult py = run({"python3", "-c", kCheckManifests, in, out, std::to_string(firstLines)});
  EXPECT_EQ(py.exitCode, 0) << py.err;
  Check c;
  c.text = py.out.substr(0, py.out.find('\n'));
  std::istringstream in1(c.text);
  std::string name, value;
  while (in1 >> name >> value) {
    if (name == "keys") {
      c.counts["keys"] = value == "-" ? 0 : 1;
    } else {
      c.counts[name] = std::stoi(value);
    }
  }
  std::istringstream rest(py.out.substr(py.out.find('\n') + 1));
  std::string rel, status;
  int code = 0;
  while (rest >> rel >> status >> code) c.final[rel] = {status, code};
  return c;
}

size_t lineCount(const std::string& path) {
  size_t n = 0;
  for (uint8_t b : readBytes(path)) n += b == '\n';
  return n;
}

class Batch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveTool("ffmpeg") || !haveTool("python3")) return;
    dir_ = new TempDir;
    const std::string clip = "-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=sample_rate=";
    auto make = [&](const char* name, int rate, const char* codecs) {
      return makeWithFfmpeg(dir_->file(name), clip + std::to_string(rate) + " -t 1 " + codecs + " -fflags +bitexact -f flv");
    };
    const std::string mp3 = make("mp3.flv", 22050, "-c:v flv -c:a libmp3lame -b:a 32k");
    const std::string pcm = make("pcm.flv", 11025, "-c:v flv -c:a pcm_s16be");
    const std::string nelly = make("nelly.flv", 8000, "-c:v flv -c:a nellymoser");
    const std::string videoOnly = make("video.flv", 22050, "-c:v flv -an");
    const std::string sound = make("sound.flv", 22050, "-vn -c:a libmp3lame -b:a 32k");
    const std::string drift = dir_->file("drift.flv");
    RunResult drifted = run({"python3", sourceDir() + "/scripts/flvdrift.py", mp3, drift, "--factor", "1.025"});
    ASSERT_EQ(drifted.exitCode, 0) << drifted.err;
    const std::string in = dir_->file("in");
    // 10 days of 18 recordings with the same names in every folder.
    for (int day = 0; day < 10; ++day) {
      for (int rec = 0; rec < 18; ++rec) {
        const std::string folder = in + "/day" + std::to_string(day) + (day == 3 ? "/a b" : "");
        fs::create_directories(folder);
        fs::copy_file(drift, folder + "/rec" + std::to_string(rec) + ".flv");
      }
    }
    fs::create_directories(in + "/other");
    for (int i = 0; i < 4; ++i) {
      fs::copy_file(pcm, in + "/other/pcm" + std::to_string(i) + ".flv");
      fs::copy_file(nelly, in + "/other/nelly" + std::to_string(i) + ".flv");
    }
    fs::copy_file(videoOnly, in + "/other/video.flv");
    fs::copy_file(sound, in + "/other/sound.flv");
    fs::copy_file(drift, in + "/other/UPPER.FLV");
    fs::copy_file(mp3, in + "/other/upper.flv");
    writeBytes(in + "/other/notes.txt", {'n', 'o', '\n'});
    // Every eighth damaged file (of about 400): each class of damage, some
    // repaired, some failing.
    RunResult damaged = run({"python3", sourceDir() + "/scripts/make-damaged.py", dir_->file("damaged"), mp3, pcm});
    ASSERT_EQ(damaged.exitCode, 0) << damaged.err;
    fs::create_directories(in + "/damaged");
    const std::vector<std::string> names = listDir(dir_->file("damaged"));
    for (size_t i = 0; i < names.size(); i += 8) fs::copy_file(dir_->file("damaged/" + names[i]), in + "/damaged/" + names[i]);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg or python3 missing (scripts/install-deps.sh)";
  }
  static std::string in() { return dir_->file("in"); }
  static std::string file(const std::string& name) { return dir_->file(name); }

  static TempDir* dir_;
};
TempDir* Batch::dir_ = nullptr;

std::map<std::string, std::vector<uint8_t>> contents(const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) files[e.path().string()] = readBytes(e.path().string());
  }
  return files;
}

TEST_F(Batch, TreeRepairedWholeThenKilledAndResumed) {
  const auto inputsBefore = contents(in());
  const std::string out = file("out");
  const std::string manifest = out + "/manifest.jsonl";
  // Killed outright once 60 files are in the manifest.
  RunResult killed = run({"sh", "-c",
                          "\"$0\" -j 2 \"$1\" \"$2\" >/dev/null 2>&1 & pid=$!; "
                          "while [ \"$(cat \"$2/manifest.jsonl\" 2>/dev/null | wc -l)\" -lt 60 ]; do sleep 0.02; done; "
                          "kill -KILL $pid; wait $pid; exit 0",
                          batchPath(), in(), out});
  ASSERT_EQ(killed.exitCode, 0) << killed.err;
  const size_t first = lineCount(manifest);
  const Check partial = checkManifests(in(), out);
  ASSERT_GT(partial.counts.at("inputs"), 240) << partial.text;
  EXPECT_GT(partial.counts.at("missing"), 0) << "the run was not stopped half-way: " << partial.text;

  RunResult resumed = batch({"-j", "2", in(), out});
  const Check c = checkManifests(in(), out, static_cast<int>(first));
  EXPECT_EQ(c.counts.at("missing"), 0) << c.text;
  EXPECT_EQ(c.counts.at("extra"), 0) << c.text;
  EXPECT_LE(c.counts.at("bad"), 1) << c.text;  // the line being written when killed, at most
  EXPECT_EQ(c.counts.at("keys"), 0) << c.text;
  EXPECT_EQ(c.counts.at("redone"), 0) << c.text;
  EXPECT_EQ(c.counts.at("mismatched"), 0) << c.text;
  EXPECT_EQ(c.counts.at("orphans"), 0) << c.text;
  EXPECT_EQ(c.counts.at("status"), 0) << c.text;
  EXPECT_EQ(c.counts.at("sizes"), 0) << c.text;
  size_t failed = 0, doneBefore = 0;
  for (const auto& [rel, result] : c.final) failed += result.first != "done";
  for (const auto& [rel, result] : partial.final) doneBefore += result.first == "done";
  EXPECT_EQ(resumed.exitCode, failed ? 1 : 0) << resumed.err;
  EXPECT_NE(resumed.out.find(" " + std::to_string(doneBefore) + " done before, " + std::to_string(failed) + " failed"),
            std::string::npos)
      << resumed.out;

  // The inputs are as they were; nothing was written among them.
  EXPECT_TRUE(contents(in()) == inputsBefore);

  // Each output is what tagmend writes for its input by hand; the same
  // names in different folders got outputs of their own.
  TempDir byHand;
  for (const char* rel : {"day0/rec0", "day3/a b/rec17", "other/pcm2", "other/nelly1", "other/UPPER", "other/upper.flv"}) {
    SCOPED_TRACE(rel);
    std::string input = in() + "/" + rel;
    if (!fileExists(input)) input = in() + "/" + rel + ".flv";
    if (!fileExists(input)) input = in() + "/" + rel + ".FLV";
    RunResult direct = tagmend(input, byHand.file("x"));
    ASSERT_EQ(direct.exitCode, 0);
    for (const char* ext : {".flv", ".mp3"}) {
      EXPECT_EQ(fileExists(byHand.file(std::string("x") + ext)), fileExists(out + "/" + rel + ext)) << ext;
      if (fileExists(byHand.file(std::string("x") + ext))) {
        EXPECT_TRUE(readBytes(byHand.file(std::string("x") + ext)) == readBytes(out + "/" + rel + ext)) << ext;
      }
      fs::remove(byHand.file(std::string("x") + ext));
    }
  }
  EXPECT_EQ(flvmetaCheck(out + "/day9/rec17.flv").errors, 0);
  EXPECT_TRUE(ffprobeReads(out + "/day9/rec17.flv"));
  EXPECT_TRUE(readBytes(out + "/day0/rec5.flv") == readBytes(out + "/day1/rec5.flv"));
  // Nothing to repair: listed, not copied.
  EXPECT_EQ(c.final.at("other/video.flv"), std::make_pair(std::string("done"), 7));
  EXPECT_EQ(c.final.at("other/sound.flv"), std::make_pair(std::string("done"), 0));
  EXPECT_FALSE(fileExists(out + "/other/video.flv"));
  EXPECT_FALSE(fileExists(out + "/other/sound.flv"));
  EXPECT_FALSE(c.final.count("other/notes.txt"));
  // The damaged ones: the exit code recorded is the one tagmend gives.
  int damaged = 0;
  for (const auto& [rel, result] : c.final) {
    if (rel.rfind("damaged/", 0) != 0) continue;
    ++damaged;
    EXPECT_EQ(tagmend(in() + "/" + rel, byHand.file("d")).exitCode, result.second) << rel;
  }
  EXPECT_GT(damaged, 20);

  // A third run finds everything done, and a changed input is done again.
  RunResult again = batch({in(), out});
  EXPECT_NE(again.out.find(" 0 repaired, " + std::to_string(c.final.size() - failed) + " done before"),
            std::string::npos)
      << again.out;
  std::vector<uint8_t> changed = readBytes(in() + "/day5/rec5.flv");
  changed[changed.size() / 2] ^= 0x01;  // same size, another hash
  writeBytes(in() + "/day5/rec5.flv", changed);
  RunResult changedRun = batch({in(), out});
  writeBytes(in() + "/day5/rec5.flv", inputsBefore.at(in() + "/day5/rec5.flv"));
  EXPECT_NE(changedRun.out.find(": " + std::to_string(c.final.size()) + " files: 1 repaired, "), std::string::npos)
      << changedRun.out;
}

TEST_F(Batch, ShardsSpreadByGnuParallel) {
  if (!haveTool("parallel")) FAIL() << "GNU parallel missing (package parallel, scripts/install-deps.sh)";
  const std::string out = file("shards");
  // Three machines' worth at once, two repairs each.
  RunResult spread = run({"sh", "-c",
                          "parallel --will-cite -j 3 \"$0\" -j 2 --shard {}/3 \"$1\" \"$2\" ::: 0 1 2",
                          batchPath(), in(), out},
                         "", {}, 300);
  for (int k = 0; k < 3; ++k) EXPECT_TRUE(fileExists(out + "/manifest-" + std::to_string(k) + "-of-3.jsonl")) << k;
  EXPECT_FALSE(fileExists(out + "/manifest.jsonl"));
  const Check c = checkManifests(in(), out);
  EXPECT_EQ(c.counts.at("missing"), 0) << c.text;
  EXPECT_EQ(c.counts.at("extra"), 0) << c.text;
  EXPECT_EQ(c.counts.at("several"), 0) << c.text;  // each input in one shard's manifest
  EXPECT_EQ(c.counts.at("bad"), 0) << c.text;
  EXPECT_EQ(c.counts.at("mismatched"), 0) << c.text;
  EXPECT_EQ(c.counts.at("orphans"), 0) << c.text;
  // Every shard had a share.
  for (int k = 0; k < 3; ++k) EXPECT_GT(lineCount(out + "/manifest-" + std::to_string(k) + "-of-3.jsonl"), 50u) << k;

  // The whole tree run on one machine afterwards finds the shards' work done.
  size_t done = 0;
  for (const auto& [rel, result] : c.final) done += result.first == "done";
  RunResult whole = batch({in(), out});
  EXPECT_NE(whole.out.find(" 0 repaired, " + std::to_string(done) + " done before"), std::string::npos) << whole.out;
  // parallel's exit code: how many shards had a failure.
  int shardsFailed = 0;
  for (int k = 0; k < 3; ++k) {
    const std::vector<uint8_t> m = readBytes(out + "/manifest-" + std::to_string(k) + "-of-3.jsonl");
    shardsFailed += std::string(m.begin(), m.end()).find("\"status\":\"failed\"") != std::string::npos;
  }
  EXPECT_GT(shardsFailed, 0);
  EXPECT_EQ(spread.exitCode, shardsFailed) << spread.err;
}

TEST_F(Batch, ArgumentsFoldersAndFailures) {
  RunResult none = batch({});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "tagmend-batch: needs IN_DIR and OUT_DIR\n"
                      "Usage: tagmend-batch [-j N] [--shard K/N] [--aac] [--speex] IN_DIR OUT_DIR\n");
  EXPECT_EQ(batch({"--shard", "3/3", in(), file("x")}).exitCode, 2);
  EXPECT_EQ(batch({"--mp4", in(), file("x")}).exitCode, 2);
  RunResult missing = batch({file("nowhere"), file("x")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.err, "tagmend-batch: " + file("nowhere") + " is not a folder that can be read\n");
  // An IN_DIR inside OUT_DIR: its outputs could land on inputs.
  EXPECT_EQ(batch({in(), dir_->path()}).exitCode, 2);

  // OUT_DIR inside IN_DIR is not walked; a file tagmend fails on is named
  // and makes the exit code 1.
  const std::string small = file("small");
  fs::create_directories(small);
  fs::copy_file(in() + "/day0/rec0.flv", small + "/rec.flv");
  writeBytes(small + "/broken.flv", {'F', 'L', 'V', 1, 5});
  for (int pass = 0; pass < 2; ++pass) {
    RunResult r = batch({small, small + "/fixed"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tagmend-batch: broken.flv: tagmend exit 3\n");
    EXPECT_EQ(r.out, "tagmend-batch: 2 files: " + std::string(pass ? "0 repaired, 1 done before" : "1 repaired, 0 done before") +
                         ", 1 failed; manifest " + fs::canonical(small).string() + "/fixed/manifest.jsonl\n");
  }

  // On a terminal (script(1) gives one), a progress line on standard error,
  // redrawn in place, its last form ending the line.
  if (haveTool("script")) {
    const std::string typescript = file("typescript");
    RunResult t = run({"script", "-qec", "'" + batchPath() + "' '" + small + "' '" + small + "/fixed'", typescript});
    EXPECT_EQ(t.exitCode, 1);
    const std::vector<uint8_t> bytes = readBytes(typescript);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("\r2/2 files, 1 failed, "), std::string::npos) << text;
    EXPECT_NE(text.find(" left\r\ntagmend-batch: 2 files: 0 repaired, 1 done before, 1 failed"), std::string::npos)
        << text;
  }

  // Options for tagmend go to it; what it makes of them is in the manifest.
  const std::string opts = file("opts");
  batch({"--aac", "--speex", small + "/fixed", opts});
  const Check c = checkManifests(small + "/fixed", opts);
  ASSERT_EQ(c.final.count("rec.flv"), 1u) << c.text;
  RunResult direct = run({tagmendPath(), "--aac", "--speex", small + "/fixed/rec.flv", file("direct")});
  EXPECT_EQ(c.final.at("rec.flv").second, direct.exitCode);
}

}  // namespace
}  // namespace e2e
