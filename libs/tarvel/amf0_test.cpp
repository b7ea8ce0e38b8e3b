#include "libs/tarvel/amf0.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvel {
namespace {

TEST(Amf0, WrittenMetadataReadsBack) {
  std::vector<uint8_t> bytes;
  Amf0Writer w(bytes);
  w.beginEcmaArray(3);
  w.key("duration"), w.number(12.5);
  w.key("stereo"), w.boolean(true);
  w.key("creator"), w.string("x");
  w.key("keyframes");
  w.beginObject();
  w.key("times"), w.numberArray({0.0, 4.96});
  w.endObject();
  w.endObject();

  Amf0Value v;
  ASSERT_EQ(readAmf0(bytes.data(), bytes.size(), &v), bytes.size());
  ASSERT_EQ(v.type, Amf0Value::Type::kEcmaArray);
  EXPECT_EQ(v.find("duration")->number, 12.5);
  EXPECT_EQ(v.find("stereo")->type, Amf0Value::Type::kBoolean);
  EXPECT_EQ(v.find("stereo")->number, 1);
  EXPECT_EQ(v.find("creator")->text, "x");
  const Amf0Value* times = v.find("keyframes")->find("times");
  ASSERT_NE(times, nullptr);
  ASSERT_EQ(times->members.size(), 2u);
  EXPECT_EQ(times->members[1].second.number, 4.96);
}

TEST(Amf0, NumbersAreBigEndianDoubles) {
  std::vector<uint8_t> bytes;
  Amf0Writer(bytes).number(1.0);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(Amf0, NameOfScriptTag) {
  std::vector<uint8_t> bytes;
  Amf0Writer(bytes).string("onCuePoint");
  std::string name;
  ASSERT_TRUE(readAmf0Name(bytes.data(), bytes.size(), &name));
  EXPECT_EQ(name, "onCuePoint");
  EXPECT_FALSE(readAmf0Name(bytes.data(), 5, &name));  // length past the end
}

std::vector<uint8_t> nestedObjects(int depth) {
  std::vector<uint8_t> bytes;
  Amf0Writer w(bytes);
  w.beginObject();
  for (int i = 1; i < depth; ++i) w.key("a"), w.beginObject();
  for (int i = 0; i < depth; ++i) w.endObject();
  return bytes;
}

TEST(Amf0, NestingIsBoundedAtSixteen) {
  std::vector<uint8_t> ok = nestedObjects(kAmf0MaxDepth);
  Amf0Value v;
  EXPECT_EQ(readAmf0(ok.data(), ok.size(), &v), ok.size());
  std::vector<uint8_t> deep = nestedObjects(kAmf0MaxDepth + 1);
  EXPECT_EQ(readAmf0(deep.data(), deep.size(), &v), 0u);
  // Far deeper than any stack would take if the reader recursed.
  std::vector<uint8_t> hostile(1 << 20, 0x03);
  EXPECT_EQ(readAmf0(hostile.data(), hostile.size(), &v), 0u);
}

TEST(Amf0, EveryTruncationIsRejected) {
  std::vector<uint8_t> bytes;
  Amf0Writer w(bytes);
  w.beginEcmaArray(1);
  w.key("name"), w.string("value");
  w.key("list"), w.numberArray({1, 2});
  w.endObject();
  Amf0Value v;
  for (size_t n = 0; n < bytes.size(); ++n) EXPECT_EQ(readAmf0(bytes.data(), n, &v), 0u) << n;
}

TEST(Amf0, HugeCountsDoNotAllocate) {
  // A strict array that claims four billion elements and a string that
  // claims 65535 bytes, in a buffer of a few bytes.
  std::vector<uint8_t> array = {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::vector<uint8_t> text = {0x02, 0xFF, 0xFF, 'a'};
  std::vector<uint8_t> longText = {0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a'};
  Amf0Value v;
  EXPECT_EQ(readAmf0(array.data(), array.size(), &v), 0u);
  EXPECT_EQ(readAmf0(text.data(), text.size(), &v), 0u);
  EXPECT_EQ(readAmf0(longText.data(), longText.size(), &v), 0u);
}

TEST(Amf0, ReferencesAndUnknownMarkersAreRejected) {
  std::vector<uint8_t> reference = {0x07, 0x00, 0x01};
  std::vector<uint8_t> unknown = {0x11};
  Amf0Value v;
  EXPECT_EQ(readAmf0(reference.data(), reference.size(), &v), 0u);
  EXPECT_EQ(readAmf0(unknown.data(), unknown.size(), &v), 0u);
}

}  // namespace
}  // namespace tarvel
