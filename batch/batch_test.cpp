#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "batch/batch.h"
#include "batch/content_hash.h"
#include "batch/manifest.h"
#include "batch/tree.h"

namespace batch {
namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  return bytes;
}

// Values printed by xxhsum -H64 (the xxhash package).
TEST(ContentHash, MatchesXxhsum) {
  EXPECT_EQ(xxh64(std::string()), 0xef46db3751d8e999ull);
  EXPECT_EQ(xxh64(std::string("a")), 0xd24ec4f1a98c6e5bull);
  EXPECT_EQ(xxh64(std::string("abc")), 0x44bc2cf5ad770999ull);
  EXPECT_EQ(xxh64(std::string("The quick brown fox jumps over the lazy dog")), 0x0b242d361fda71bcull);
  const std::vector<uint8_t> bytes = pattern(1000);
  EXPECT_EQ(xxh64(bytes.data(), 37), 0x5d71d9fc4b676d9full);
  EXPECT_EQ(xxh64(bytes.data(), bytes.size()), 0x99594f4828043d35ull);
  EXPECT_EQ(hashText(0x99594f4828043d35ull), "xxh64:99594f4828043d35");
}

// Fed in pieces of every size from 1 to 70 bytes, the hash is the one of
// the whole: pieces that end inside a 32-byte stripe carry over.
TEST(ContentHash, PiecesGiveTheWhole) {
  const std::vector<uint8_t> bytes = pattern(1000);
  for (size_t piece = 1; piece <= 70; ++piece) {
    Xxh64 h;
    for (size_t at = 0; at < bytes.size(); at += piece) h.update(bytes.data() + at, std::min(piece, bytes.size() - at));
    ASSERT_EQ(h.digest(), 0x99594f4828043d35ull) << piece;
  }
}

TEST(Tree, SameNamesGetTheirOwnPrefixes) {
  std::vector<Input> inputs = {{"a.FLV", {}}, {"a.FLV.flv", {}}, {"a.flv", {}}, {"a/x.flv", {}},
                               {"b/x.flv", {}}, {"A/x.flv", {}}};
  std::sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) { return a.relative < b.relative; });
  assignPrefixes(&inputs);
  std::map<std::string, std::string> prefixOf;
  std::set<std::string> lowered;
  for (const Input& i : inputs) {
    prefixOf[i.relative] = i.prefix;
    std::string l = i.prefix;
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(lowered.insert(l).second) << i.prefix;
  }
  EXPECT_EQ(prefixOf["a.FLV"], "a");
  EXPECT_EQ(prefixOf["a.FLV.flv"], "a.FLV");
  EXPECT_EQ(prefixOf["a.flv"], "a.flv~2");  // "a.FLV" took a.flv, case aside
  EXPECT_EQ(prefixOf["A/x.flv"], "A/x");
  EXPECT_EQ(prefixOf["a/x.flv"], "a/x.flv");  // a case-blind disk holds one A/x
  EXPECT_EQ(prefixOf["b/x.flv"], "b/x");
}

TEST(Tree, ShardsSplitEveryPathOnce) {
  std::vector<size_t> counts(7, 0);
  for (int i = 0; i < 7000; ++i) {
    const uint64_t shard = shardOf("day" + std::to_string(i % 30) + "/rec" + std::to_string(i) + ".flv", 7);
    ASSERT_LT(shard, 7u);
    ++counts[shard];
  }
  // Spread evenly enough that no machine gets twice its share.
  for (size_t c : counts) {
    EXPECT_GT(c, 700u);
    EXPECT_LT(c, 1300u);
  }
  EXPECT_EQ(shardOf("a/b.flv", 1), 0u);
}

TEST(Options, ReadAndRefused) {
  Options o;
  std::string why;
  ASSERT_TRUE(parseOptions({"-j", "3", "--shard", "2/5", "--speex", "--aac", "--speex", "in", "out"}, &o, &why));
  EXPECT_EQ(o.jobs, 3u);
  EXPECT_EQ(o.shard, 2u);
  EXPECT_EQ(o.shards, 5u);
  EXPECT_EQ(o.tagmendOptions, (std::vector<std::string>{"--speex", "--aac"}));
  EXPECT_EQ(manifestName(o), "manifest-2-of-5.jsonl");
  Options d;
  ASSERT_TRUE(parseOptions({"-j4", "--", "-in", "out"}, &d, &why));
  EXPECT_EQ(d.inDir, "-in");
  EXPECT_EQ(d.jobs, 4u);
  EXPECT_EQ(manifestName(d), "manifest.jsonl");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"in"}, {"in", "out", "more"}, {"-j", "0", "in", "out"}, {"-j", "x", "in", "out"},
        {"-j"}, {"--shard", "5/5", "in", "out"}, {"--shard", "1", "in", "out"}, {"--shard", "1/0", "in", "out"},
        {"--mp4", "in", "out"}}) {
    Options b;
    EXPECT_FALSE(parseOptions(bad, &b, &why)) << bad[0];
  }
}

TEST(Manifest, LinesReadBack) {
  Record r;
  r.input = "day 1/\"odd\"\\name\x01.flv";
  r.size = 5000000000;
  r.hash = hashText(0x0123456789abcdefull);
  r.before.verdict = "needs repair";
  r.before.audio = "mp3";
  r.before.driftPercent = 3.067;
  r.tagmendExit = 0;
  r.outputs = {{"day 1/x.flv", 123}, {"day 1/x.mp3", 4567}};
  r.after = Measure{"day 1/x.flv", "ok", "mp3", -0.003, 9, ""};
  r.done = true;
  r.seconds = 1.25;
  const std::string line = recordLine(r);
  ASSERT_EQ(line.back(), '\n');
  Record back;
  ASSERT_TRUE(parseRecordLine(line, &back));
  EXPECT_EQ(back.input, r.input);
  EXPECT_EQ(back.size, r.size);
  EXPECT_EQ(back.hash, r.hash);
  EXPECT_EQ(back.tagmendExit, 0);
  EXPECT_TRUE(back.done);
  ASSERT_EQ(back.outputs.size(), 2u);
  EXPECT_EQ(back.outputs[1].file, "day 1/x.mp3");
  EXPECT_EQ(back.outputs[1].size, 4567);
  // Cut anywhere, the line is refused rather than read as something else.
  for (size_t n = 0; n + 1 < line.size(); ++n) {
    Record cut;
    EXPECT_FALSE(parseRecordLine(line.substr(0, n), &cut)) << n;
  }
  Json deep;
  EXPECT_FALSE(parseJson(std::string(100, '[') + std::string(100, ']'), &deep));
  EXPECT_TRUE(parseJson("[[1, 2.5e3, \"\\u00e9\"], {}, true, null]", &deep));
}

}  // namespace
}  // namespace batch
