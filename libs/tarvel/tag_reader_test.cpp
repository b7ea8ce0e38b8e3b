#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "libs/tarvel/tarvel.h"
#include "platform/testing/flv_builder.h"

namespace {

using testing_flv::FlvBuilder;
using testing_flv::TempDir;

struct Reader {
  explicit Reader(const std::string& path) : handle(CreateFileReadAble(path.c_str())) {}
  ~Reader() {
    Flv_FreeTag(&tag);
    if (handle) DeleteFileReadAble(handle);
  }
  bool header() { return Flv_ReadHeader(handle, &h) != 0; }
  bool next() { return Flv_ReadTag(handle, 1, &tag) != 0; }
  void* handle;
  FlvHeaderRecord h{};
  TagRecord tag{};
};

std::vector<uint32_t> readAllTimestamps(Reader& r) {
  std::vector<uint32_t> out;
  while (r.next()) out.push_back(r.tag.timestamp);
  return out;
}

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

TEST(TagReader, ParsesAudioVideoAndScriptTags) {
  TempDir dir;
  FlvBuilder()
      .audio(0x12345678, 0x2E, {0xAA, 0xBB})  // MP3, 44 kHz, 16-bit, stereo
      .audio(7, 0x62, {}, false)              // no flags byte at all
      .video(9, 0x17, {1, 2, 3})
      .script(3, {2, 0, 1, 'x'})
      .save(dir.file("a.flv"));
  Reader r(dir.file("a.flv"));
  ASSERT_TRUE(r.handle);
  ASSERT_TRUE(r.header());
  EXPECT_EQ(r.h.flags, 5);
  EXPECT_EQ(r.h.dataOffset, 9u);

  ASSERT_TRUE(r.next());
  EXPECT_EQ(r.tag.tagType, 8);
  EXPECT_EQ(r.tag.timestamp, 0x12345678u);
  EXPECT_EQ(r.tag.soundFormat, 2);
  EXPECT_EQ(r.tag.soundRate, 3);
  EXPECT_EQ(r.tag.soundSize, 1);
  EXPECT_EQ(r.tag.soundType, 0);
  ASSERT_EQ(r.tag.payloadSize, 2);
  EXPECT_EQ(r.tag.payload[0], 0xAA);
  EXPECT_EQ(r.tag.payload[2], 0) << "payload is zero-padded";
  EXPECT_EQ(r.tag.raw[0], 8);
  EXPECT_EQ(r.tag.filePosition, 13);

  ASSERT_TRUE(r.next());
  EXPECT_EQ(r.tag.payloadSize, 0);
  EXPECT_EQ(r.tag.soundFormat, -1);

  ASSERT_TRUE(r.next());
  EXPECT_EQ(r.tag.tagType, 9);
  EXPECT_EQ(r.tag.frameType, 1);
  EXPECT_EQ(r.tag.codecId, 7);
  EXPECT_EQ(r.tag.payloadSize, 3);

  ASSERT_TRUE(r.next());
  EXPECT_EQ(r.tag.tagType, 18);
  EXPECT_EQ(r.tag.payloadSize, 4);
  EXPECT_FALSE(r.next());
}

TEST(TagReader, HonoursDataOffset) {
  TempDir dir;
  std::vector<uint8_t> bytes = FlvBuilder().video(42).bytes();
  bytes[8] = 12;  // three extra header bytes
  bytes.insert(bytes.begin() + 9, {0xDE, 0xAD, 0xBE});
  testing_flv::writeFile(dir.file("a.flv"), bytes);
  Reader r(dir.file("a.flv"));
  ASSERT_TRUE(r.header());
  EXPECT_EQ(r.h.dataOffset, 12u);
  EXPECT_EQ(readAllTimestamps(r), std::vector<uint32_t>{42});
}

TEST(TagReader, RejectsWhatIsNotAnFlvHeader) {
  TempDir dir;
  for (std::vector<uint8_t> bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{'F', 'L', 'V'},
                                     std::vector<uint8_t>{'F', 'L', 'X', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0},
                                     std::vector<uint8_t>{'F', 'L', 'V', 1, 5, 0, 0, 0, 3, 0, 0, 0, 0},
                                     std::vector<uint8_t>{'F', 'L', 'V', 1, 5, 0x7F, 0, 0, 0, 0}}) {
    testing_flv::writeFile(dir.file("bad.flv"), bytes);
    Reader r(dir.file("bad.flv"));
    ASSERT_TRUE(r.handle);
    EXPECT_FALSE(r.header()) << bytes.size();
  }
  EXPECT_EQ(CreateFileReadAble(dir.file("missing.flv").c_str()), nullptr);
  EXPECT_EQ(CreateFileReadAble(dir.path().c_str()), nullptr);
}

TEST(TagReader, TruncatedOrOversizedFinalTagEndsTheInput) {
  TempDir dir;
  std::vector<uint8_t> whole = FlvBuilder().video(1).video(2, 0x22, std::vector<uint8_t>(100, 7)).bytes();
  // Cut inside the last tag's data, inside its header, and just before its
  // PreviousTagSize (the tag is then whole and still read).
  struct Case { size_t cut; std::vector<uint32_t> expected; };
  for (const Case& c : {Case{whole.size() - 50, {1}}, Case{33 + 5, {1}},
                        Case{whole.size() - 4, {1, 2}}, Case{whole.size() - 2, {1, 2}}}) {
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<long>(c.cut));
    testing_flv::writeFile(dir.file("cut.flv"), bytes);
    Reader r(dir.file("cut.flv"));
    ASSERT_TRUE(r.header());
    EXPECT_EQ(readAllTimestamps(r), c.expected) << "cut at " << c.cut;
  }
  // A DataSize of 16 MiB in a small file.
  std::vector<uint8_t> huge = whole;
  huge[33 + 1] = 0xFF;  // the second tag starts at 13 + 20
  testing_flv::writeFile(dir.file("huge.flv"), huge);
  Reader r(dir.file("huge.flv"));
  ASSERT_TRUE(r.header());
  EXPECT_EQ(readAllTimestamps(r), std::vector<uint32_t>{1});
}

TEST(TagReader, ADamagedTagCostsThatTagNotTheRest) {
  TempDir dir;
  std::vector<uint8_t> whole =
      FlvBuilder().video(1).video(2, 0x22, std::vector<uint8_t>(100, 9)).video(3).audio(4, 0x2A, {1}).bytes();
  const size_t second = 13 + 20;  // the first tag is 11 + 5 bytes and its PreviousTagSize
  struct Case { size_t offset; uint8_t value; };
  for (const Case& c : {Case{second, 0x55},        // unknown tag type
                        Case{second, 0xC9},        // reserved bits set
                        Case{second + 1, 0xFF}}) { // DataSize past the end of the file
    std::vector<uint8_t> bytes = whole;
    bytes[c.offset] = c.value;
    testing_flv::writeFile(dir.file("damaged.flv"), bytes);
    Reader r(dir.file("damaged.flv"));
    ASSERT_TRUE(r.header());
    EXPECT_EQ(readAllTimestamps(r), (std::vector<uint32_t>{1, 3, 4})) << c.offset << " " << int(c.value);
  }
  // Zero bytes where tags should follow: the end of the input.
  std::vector<uint8_t> padded = whole;
  padded.resize(padded.size() + 5000, 0);
  testing_flv::writeFile(dir.file("padded.flv"), padded);
  Reader r(dir.file("padded.flv"));
  ASSERT_TRUE(r.header());
  EXPECT_EQ(readAllTimestamps(r), (std::vector<uint32_t>{1, 2, 3, 4}));
}

void setU24(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  bytes[at] = static_cast<uint8_t>(v >> 16);
  bytes[at + 1] = static_cast<uint8_t>(v >> 8);
  bytes[at + 2] = static_cast<uint8_t>(v);
}

// A DataSize that lies but stays inside the file: only the PreviousTagSize
// behind the data tells. The tag costs itself, never the tags it would
// swallow, whether it is read through the buffer or straight (40 KB), and
// the probe sees the tags the reader reads.
TEST(TagReader, ADataSizeThatLiesCostsThatTag) {
  TempDir dir;
  for (size_t second : {size_t{100}, size_t{40000}}) {
    FlvBuilder b;
    b.video(1).video(2, 0x22, std::vector<uint8_t>(second, 9));
    for (uint32_t ms = 3; ms < 40; ++ms) b.video(ms, 0x22, std::vector<uint8_t>(ms * 37, uint8_t(ms)));
    b.audio(40, 0x2A, {1});
    std::vector<uint8_t> whole = b.bytes();
    const size_t at = 13 + 20;  // the second tag
    std::vector<uint32_t> expected = {1};
    for (uint32_t ms = 3; ms <= 40; ++ms) expected.push_back(ms);
    const uint32_t real = static_cast<uint32_t>(second + 1);
    for (uint32_t size : {real + 16, real + 5000, real - 1, real / 2, real + 100000}) {
      std::vector<uint8_t> bytes = whole;
      setU24(bytes, at + 1, size);
      testing_flv::writeFile(dir.file("lies.flv"), bytes);
      Reader r(dir.file("lies.flv"));
      ASSERT_TRUE(r.header());
      EXPECT_EQ(readAllTimestamps(r), expected) << second << " bytes, DataSize " << size;
      StreamInfo info{};
      ASSERT_TRUE(GetFLVInfoFromFile(dir.file("lies.flv").c_str(), &info));
      EXPECT_EQ(info.soundFormat, 2) << second << " bytes, DataSize " << size;
    }
  }
}

// PreviousTagSize written other ways, or garbage, where the tags chain
// whole: nothing is lost.
TEST(TagReader, PreviousTagSizesThatDisagreeLoseNothingWhenTheTagsChain) {
  TempDir dir;
  FlvBuilder b;
  for (uint32_t ms = 0; ms < 20; ++ms) b.video(ms, 0x22, std::vector<uint8_t>(ms * 3, 1));
  std::vector<uint8_t> whole = b.bytes();
  std::vector<size_t> trailers;  // offsets of every PreviousTagSize after a tag
  for (size_t at = 13; at < whole.size(); at += 11 + be(&whole[at + 1], 3) + 4)
    trailers.push_back(at + 11 + be(&whole[at + 1], 3));
  ASSERT_EQ(trailers.size(), 20u);
  std::vector<uint32_t> all(20);
  for (uint32_t i = 0; i < 20; ++i) all[i] = i;
  auto readWith = [&](const std::function<uint32_t(uint32_t)>& value, const std::vector<size_t>& which) {
    std::vector<uint8_t> bytes = whole;
    for (size_t at : which) {
      uint32_t v = value(be(&bytes[at], 4));
      for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
    testing_flv::writeFile(dir.file("trailers.flv"), bytes);
    Reader r(dir.file("trailers.flv"));
    EXPECT_TRUE(r.header());
    return readAllTimestamps(r);
  };
  EXPECT_EQ(readWith([](uint32_t v) { return v - 11; }, trailers), all) << "without the header";
  EXPECT_EQ(readWith([](uint32_t v) { return v - 1; }, trailers), all) << "one short";
  EXPECT_EQ(readWith([](uint32_t) { return 0; }, trailers), all) << "all zero";
  EXPECT_EQ(readWith([](uint32_t) { return 0xDEADBEEF; }, {trailers[0], trailers[7], trailers[19]}), all);
}

TEST(TagReader, LargeTagsAreReadWhole) {
  TempDir dir;
  std::vector<uint8_t> big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  FlvBuilder().video(1, 0x12, big).video(2).video(3, 0x12, big).save(dir.file("big.flv"));
  Reader r(dir.file("big.flv"));
  ASSERT_TRUE(r.header());
  for (uint32_t ts : {1u, 2u, 3u}) {
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.tag.timestamp, ts);
    if (ts != 2) {
      ASSERT_EQ(r.tag.payloadSize, static_cast<int32_t>(big.size()));
      EXPECT_TRUE(std::equal(big.begin(), big.end(), r.tag.payload));
    }
  }
  EXPECT_FALSE(r.next());
}

TEST(TagReader, SkippingVideoDataKeepsTheHeadAndEverythingElse) {
  TempDir dir;
  std::vector<uint8_t> big(3 << 20, 9);
  big[0] = 1;  // AVC picture
  FlvBuilder().video(1, 0x17, big).audio(2, 0x2A, {1, 2, 3}).video(3).video(4, 0x27, big).save(dir.file("v.flv"));
  Reader whole(dir.file("v.flv")), skipping(dir.file("v.flv"));
  ASSERT_TRUE(whole.header() && skipping.header());
  while (whole.next()) {
    ASSERT_TRUE(Flv_ReadTag(skipping.handle, TARVEL_READ_SKIP_VIDEO, &skipping.tag));
    const TagRecord& a = whole.tag;
    const TagRecord& b = skipping.tag;
    EXPECT_EQ(b.tagType, a.tagType);
    EXPECT_EQ(b.timestamp, a.timestamp);
    EXPECT_EQ(b.filePosition, a.filePosition);
    EXPECT_EQ(b.dataSize, a.dataSize);
    EXPECT_EQ(b.frameType, a.frameType);
    EXPECT_EQ(b.codecId, a.codecId);
    int32_t held = std::min(a.payloadSize, TARVEL_VIDEO_HEAD_BYTES - 1);
    ASSERT_EQ(b.payloadSize, a.tagType == 9 ? held : a.payloadSize);
    EXPECT_TRUE(std::equal(b.payload, b.payload + b.payloadSize, a.payload));
    EXPECT_LT(b.rawCapacity, 1u << 20);  // the big payloads never came into memory
  }
  EXPECT_FALSE(Flv_ReadTag(skipping.handle, TARVEL_READ_SKIP_VIDEO, &skipping.tag));
}

TEST(TagReader, TwoReadersAndARewind) {
  TempDir dir;
  FlvBuilder().video(1).audio(2, 0x2A, {1}).video(3).save(dir.file("a.flv"));
  Reader a(dir.file("a.flv"));
  Reader b(dir.file("a.flv"));
  ASSERT_TRUE(a.header());
  ASSERT_TRUE(b.header());
  EXPECT_TRUE(a.next());
  EXPECT_EQ(readAllTimestamps(b), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(readAllTimestamps(a), (std::vector<uint32_t>{2, 3}));
  // The third entry of the reader's table of operations rewinds it.
  const FlvReaderOps* ops = *static_cast<const FlvReaderOps* const*>(a.handle);
  ops->seek(a.handle, 0, 0, 0);
  ASSERT_TRUE(a.header());
  EXPECT_EQ(readAllTimestamps(a), (std::vector<uint32_t>{1, 2, 3}));
}

// out is source with room bytes after its header: a script tag named
// onMetaData, with its PreviousTagSize, that the metadata refresh fills.
void expectCopyWithRoom(const std::vector<uint8_t>& out, const std::vector<uint8_t>& source, size_t room) {
  ASSERT_EQ(out.size(), source.size() + room);
  EXPECT_TRUE(std::equal(source.begin(), source.begin() + 13, out.begin()));
  EXPECT_TRUE(std::equal(source.begin() + 13, source.end(), out.begin() + 13 + long(room)));
  const uint8_t* tag = out.data() + 13;
  EXPECT_EQ(tag[0], 18);
  EXPECT_EQ(be(tag + 1, 3), room - 15);                    // DataSize
  EXPECT_EQ(be(tag + room - 4, 4), room - 4);              // PreviousTagSize
  const uint8_t name[] = {2, 0, 10, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a', 8};
  EXPECT_TRUE(std::equal(name, name + sizeof name, tag + 11));
  const uint8_t end[] = {0, 0, 9};                         // the array's end
  EXPECT_TRUE(std::equal(end, end + 3, tag + room - 7));
}

TEST(TagWriter, WritesHeaderTagsAndPreviousTagSizes) {
  TempDir dir;
  std::vector<uint8_t> source = FlvBuilder(0x04).audio(5, 0x2A, {1, 2, 3}).video(70000000).bytes();
  testing_flv::writeFile(dir.file("in.flv"), source);
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header());
  void* w = CreateFileWriteAble(dir.file("out.flv").c_str());
  ASSERT_TRUE(w);
  EXPECT_TRUE(Flv_WriteHeader(w, &r.h));
  while (r.next()) EXPECT_TRUE(Flv_WriteTag(w, &r.tag));
  EXPECT_TRUE(DeleteFileWritable(w));
  expectCopyWithRoom(testing_flv::readFile(dir.file("out.flv")), source, 2048);
}

// Small tags go through the reader's and the writer's buffers, large ones
// straight from and to the file, and the reader reads little ahead after a
// large one: sizes around each boundary, in every order, come back whole.
TEST(TagWriter, TagsOfEverySizeInAnyOrderComeBackWhole) {
  TempDir dir;
  const size_t sizes[] = {1,     64 * 1024 - 13, 64 * 1024 - 12, 200 * 1024, 3,         256 * 1024,
                          40000, 1 << 20,        32 * 1024 - 12, 32 * 1024,  4096 - 15, 4096 - 14};
  FlvBuilder b(0x05);
  uint32_t ms = 0;
  for (int round = 0; round < 10; ++round) {
    for (size_t size : sizes) {
      std::vector<uint8_t> payload(size, static_cast<uint8_t>(ms * 7 + round));
      payload.back() = static_cast<uint8_t>(ms);
      if (ms % 2) {
        b.audio(ms, 0x2A, payload);
      } else {
        b.video(ms, 0x22, payload);
      }
      ++ms;
    }
  }
  std::vector<uint8_t> source = b.bytes();
  ASSERT_GT(source.size(), size_t{8 << 20} * 2);
  testing_flv::writeFile(dir.file("in.flv"), source);
  // Written from the records, and from the reader's input after reading
  // whole tags, video heads or tag heads, each tag with a new timestamp
  // in the header: the data comes from the reader's buffers, which take
  // turns along the file, and the header from the record.
  std::vector<uint8_t> restamped = source;
  for (size_t at = 13; at < restamped.size(); at += 15 + be(&restamped[at + 1], 3)) restamped[at + 6] ^= 0x5A;
  for (int mode : {0, TARVEL_READ_WHOLE, TARVEL_READ_SKIP_VIDEO, TARVEL_READ_HEADS}) {
    Reader r(dir.file("in.flv"));
    ASSERT_TRUE(r.header());
    void* w = CreateFileWriteAble(dir.file("out.flv").c_str());
    ASSERT_TRUE(w);
    EXPECT_TRUE(Flv_WriteHeader(w, &r.h));
    while (Flv_ReadTag(r.handle, mode ? mode : TARVEL_READ_WHOLE, &r.tag)) {
      if (mode == 0) {
        EXPECT_TRUE(Flv_WriteTag(w, &r.tag));
      } else {
        r.tag.raw[6] ^= 0x5A;
        EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &r.tag));
      }
    }
    EXPECT_FALSE(Flv_ReadFailed(r.handle));
    EXPECT_TRUE(DeleteFileWritable(w));
    // A file of 16 to 32 MiB: 32 KiB of room.
    expectCopyWithRoom(testing_flv::readFile(dir.file("out.flv")), mode ? restamped : source, 32 << 10);
  }
  // Whole rounds left out between written ones: the reader moves through
  // more than a buffer while the writer has nothing to write, and what was
  // written before still comes out whole.
  std::vector<uint8_t> kept(restamped.begin(), restamped.begin() + 13);
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header());
  void* w = CreateFileWriteAble(dir.file("out.flv").c_str());
  ASSERT_TRUE(w);
  EXPECT_TRUE(Flv_WriteHeader(w, &r.h));
  size_t at = 13;
  for (size_t index = 0; Flv_ReadTag(r.handle, TARVEL_READ_SKIP_VIDEO, &r.tag); ++index) {
    size_t size = 15 + r.tag.dataSize;
    if (index / std::size(sizes) % 3 != 1) {
      r.tag.raw[6] ^= 0x5A;
      EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &r.tag));
      kept.insert(kept.end(), restamped.begin() + long(at), restamped.begin() + long(at + size));
    }
    at += size;
  }
  EXPECT_TRUE(DeleteFileWritable(w));
  expectCopyWithRoom(testing_flv::readFile(dir.file("out.flv")), kept, 32 << 10);
}

// A library caller may read a tag found inside another's data (after a seek
// there) and write both: a tag written from the reader's buffer is never
// patched under a write still pending from it.
TEST(TagWriter, TagsInsideAnotherTagsDataLeaveItsBytesAlone) {
  TempDir dir;
  std::vector<uint8_t> inner = FlvBuilder().video(1, 0x22, std::vector<uint8_t>(100, 0x11)).video(2).bytes();
  inner.erase(inner.begin(), inner.begin() + 13);
  std::vector<uint8_t> data(20 + inner.size(), 0xAA);
  std::copy(inner.begin(), inner.end(), data.begin() + 20);
  std::vector<uint8_t> source = FlvBuilder().script(0, data).audio(3, 0x2A, {1, 2, 3}).bytes();
  testing_flv::writeFile(dir.file("in.flv"), source);
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header());
  void* w = CreateFileWriteAble(dir.file("out.flv").c_str());
  ASSERT_TRUE(w);
  EXPECT_TRUE(Flv_WriteHeader(w, &r.h));
  auto seekTo = [&](int64_t at) { (*static_cast<const FlvReaderOps* const*>(r.handle))->seek(r.handle, int32_t(at), 0, 0); };
  seekTo(13 + 11 + 20);
  ASSERT_TRUE(r.next());  // the first inner tag, written at once
  EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &r.tag));
  ASSERT_TRUE(r.next());  // the second, kept with a new timestamp
  std::vector<uint8_t> kept(r.tag.raw, r.tag.raw + r.tag.rawSize);
  TagRecord later = r.tag;
  later.raw = kept.data();
  later.raw[6] = 0x7F;
  seekTo(0);
  ASSERT_TRUE(r.header());
  ASSERT_TRUE(r.next());  // the outer tag
  EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &r.tag));
  EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &later));
  EXPECT_TRUE(DeleteFileWritable(w));
  std::vector<uint8_t> out = testing_flv::readFile(dir.file("out.flv"));
  size_t outer = 11 + data.size() + 4;
  EXPECT_NE(std::search(out.begin(), out.end(), source.begin() + 13, source.begin() + 13 + long(outer)), out.end())
      << "the outer tag is not in the output as the input holds it";
}

// Another program cuts the input short while the reader reads it, with a
// write from its buffer pending: the reader fails (no fault ends the
// process) and says so, and the writer never takes a short tag for a whole
// one.
TEST(TagWriter, AnInputCutShortFailsTheReaderAndThePendingWrite) {
  TempDir dir;
  FlvBuilder b(0x05);
  for (uint32_t ms = 0; ms < 128; ++ms) b.video(ms, 0x22, std::vector<uint8_t>(64 << 10, static_cast<uint8_t>(ms)));
  b.save(dir.file("in.flv"));
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header());
  void* w = CreateFileWriteAble(dir.file("out.flv").c_str());
  ASSERT_TRUE(w);
  EXPECT_TRUE(Flv_WriteHeader(w, &r.h));
  ASSERT_TRUE(Flv_ReadTag(r.handle, TARVEL_READ_SKIP_VIDEO, &r.tag));
  ASSERT_TRUE(Flv_ReadTag(r.handle, TARVEL_READ_SKIP_VIDEO, &r.tag));
  EXPECT_TRUE(Flv_WriteTagFrom(w, r.handle, &r.tag));
  EXPECT_FALSE(Flv_ReadFailed(r.handle));
  std::filesystem::resize_file(dir.file("in.flv"), 4096);
  int tags = 0;
  while (Flv_ReadTag(r.handle, TARVEL_READ_WHOLE, &r.tag)) ++tags;
  EXPECT_LT(tags, 30);  // what the buffer held past the cut, at most
  EXPECT_TRUE(Flv_ReadFailed(r.handle));
  EXPECT_FALSE(Flv_ReadTag(r.handle, TARVEL_READ_WHOLE, &r.tag));
  // The tag written before the cut was in the reader's buffer: it is in the
  // file whole.
  ASSERT_TRUE(DeleteFileWritable(w));
  Reader out(dir.file("out.flv"));
  ASSERT_TRUE(out.header());
  std::vector<uint8_t> data;
  while (out.next())
    if (out.tag.tagType == 9) data.assign(out.tag.payload, out.tag.payload + out.tag.payloadSize);
  EXPECT_EQ(data, std::vector<uint8_t>(64 << 10, 1));
}

// One tag in memory: growing for a larger tag never takes more than the
// largest tag the format can hold.
TEST(TagReader, TagBufferNeverOutgrowsTheLargestTag) {
  TempDir dir;
  FlvBuilder()
      .video(0, 0x12, std::vector<uint8_t>(9 << 20, 1))
      .video(1, 0x12, std::vector<uint8_t>(10 << 20, 2))
      .save(dir.file("in.flv"));
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header());
  ASSERT_TRUE(r.next());
  ASSERT_TRUE(r.next());
  EXPECT_EQ(r.tag.payloadSize, 10 << 20);
  EXPECT_EQ(r.tag.payload[r.tag.payloadSize - 1], 2);
  EXPECT_GE(r.tag.rawCapacity, uint32_t{11 + 1 + (10 << 20) + TARVEL_TAG_PADDING});
  EXPECT_LE(r.tag.rawCapacity, uint32_t{11 + 0xFFFFFF + TARVEL_TAG_PADDING});
}

TEST(TagWriter, AFailedWriteIsReportedAtClose) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<uint8_t> big(2 << 20, 1);
  TempDir dir;
  FlvBuilder().video(1, 0x12, big).save(dir.file("in.flv"));
  Reader r(dir.file("in.flv"));
  ASSERT_TRUE(r.header() && r.next());
  void* w = CreateFileWriteAble("/dev/full");
  ASSERT_TRUE(w);
  Flv_WriteHeader(w, &r.h);
  Flv_WriteTag(w, &r.tag);
  EXPECT_EQ(DeleteFileWritable(w), 0);
}

// A writer opened on a file that the caller made writes that file only: a
// link, even to that file, or another file put at its name since is
// refused and left alone.
TEST(TagWriter, CheckedOpenWritesOnlyTheFileMadeForIt) {
  TempDir dir;
  const std::string made = dir.file("made"), kept = dir.file("kept"), victim = dir.file("victim");
  testing_flv::writeFile(made, {'x'});
  testing_flv::writeFile(victim, {'v'});
  Reader r(made);  // the file as its maker knows it
  FlvFileVersion id{};
  ASSERT_EQ(Flv_GetFileVersion(r.handle, &id), 1);
  EXPECT_EQ(id.size, 1);
  std::filesystem::rename(made, kept);
  std::error_code noLinks;
  std::filesystem::create_symlink(victim, made, noLinks);
  if (noLinks) GTEST_SKIP() << "no symbolic links here";
  EXPECT_EQ(CreateFileWriteAbleChecked(made.c_str(), &id), nullptr);
  std::filesystem::remove(made);
  std::filesystem::create_symlink(kept, made);
  EXPECT_EQ(CreateFileWriteAbleChecked(made.c_str(), &id), nullptr);
  std::filesystem::remove(made);
  std::filesystem::copy_file(victim, made);
  EXPECT_EQ(CreateFileWriteAbleChecked(made.c_str(), &id), nullptr);
  std::filesystem::remove(made);
  std::filesystem::rename(kept, made);
  void* w = CreateFileWriteAbleChecked(made.c_str(), &id);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(DeleteFileWritable(w), 1);
  EXPECT_TRUE(testing_flv::readFile(made).empty());
  EXPECT_EQ(testing_flv::readFile(victim), std::vector<uint8_t>{'v'});
}

TEST(Probe, DecidesFromTheTagsNotTheHeaderFlags) {
  TempDir dir;
  FlvBuilder(0x00)  // the header claims neither stream
      .audio(0, 0, {}, false)
      .script(0, {5})
      .video(0, 0x17, {0})
      .audio(1, 0x6A, {1})  // Nellymoser, 22 kHz, 16-bit, mono
      .save(dir.file("a.flv"));
  StreamInfo info{};
  ASSERT_TRUE(GetFLVInfoFromFile(dir.file("a.flv").c_str(), &info));
  EXPECT_EQ(info.videoCodecId, 7);
  EXPECT_EQ(info.soundFormat, 6);
  EXPECT_EQ(info.sampleRate, 22050);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.bitsPerSample, 16);

  FlvBuilder(0x05).audio(0, 0x53, {1}).save(dir.file("b.flv"));  // format 5, stereo bit set
  Reader r(dir.file("b.flv"));
  ASSERT_TRUE(GetFLVInfo(r.handle, &info));
  EXPECT_EQ(info.videoCodecId, -1);
  EXPECT_EQ(info.soundFormat, 5);
  EXPECT_EQ(info.sampleRate, 8000);
  EXPECT_EQ(info.channels, 2);
  // The probe leaves the reader at the start.
  ASSERT_TRUE(r.header());
  EXPECT_EQ(readAllTimestamps(r), std::vector<uint32_t>{0});
}

// Headers lie: one that says "audio only" over video that starts after
// 5000 audio tags is still found.
TEST(Probe, FindsAStreamThatStartsLateWhateverTheHeaderSays) {
  TempDir dir;
  for (uint8_t flags : {uint8_t{0x04}, uint8_t{0x05}, uint8_t{0x00}}) {
    FlvBuilder b(flags);
    for (uint32_t i = 0; i < 5000; ++i) b.audio(i * 26, 0x2E, std::vector<uint8_t>(100, 1));
    b.video(130000, 0x12).save(dir.file("late.flv"));
    StreamInfo info{};
    ASSERT_TRUE(GetFLVInfoFromFile(dir.file("late.flv").c_str(), &info));
    EXPECT_EQ(info.soundFormat, 2);
    EXPECT_EQ(info.videoCodecId, 2) << int(flags);
    EXPECT_EQ(info.tagsProbed, 5001);
  }
  testing_flv::writeFile(dir.file("text.flv"), {'h', 'e', 'l', 'l', 'o'});
  StreamInfo info{};
  EXPECT_EQ(GetFLVInfoFromFile(dir.file("text.flv").c_str(), &info), 0);
}

// The walk is bounded by bytes: a video tag that starts before the limit
// is found, one after it is not. The file is sparse (its script tags'
// 16 MiB payloads are holes), so the test writes only headers.
TEST(Probe, StopsPastItsByteLimit) {
  TempDir dir;
  auto make = [&](int64_t videoAfter) {
    std::vector<uint8_t> head = FlvBuilder(0x05).audio(0, 0x2E, {1}).bytes();
    std::FILE* f = std::fopen(dir.file("sparse.flv").c_str(), "wb");
    std::fwrite(head.data(), 1, head.size(), f);
    int64_t at = static_cast<int64_t>(head.size());
    auto put = [&](const std::vector<uint8_t>& bytes, int64_t offset) {
      ASSERT_EQ(fseeko(f, offset, SEEK_SET), 0);
      ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    };
    while (at < videoAfter) {
      const uint32_t size = static_cast<uint32_t>(std::min<int64_t>(0xFFFFFF, std::max<int64_t>(videoAfter - at - 15, 0)));
      put({18, uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 0, 0, 0, 0, 0, 0, 0}, at);
      const uint32_t previous = size + 11;
      put({uint8_t(previous >> 24), uint8_t(previous >> 16), uint8_t(previous >> 8), uint8_t(previous)},
          at + 11 + size);
      at += 11 + size + 4;
    }
    put({9, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0, 12}, at);
    std::fclose(f);
    StreamInfo info{};
    EXPECT_TRUE(GetFLVInfoFromFile(dir.file("sparse.flv").c_str(), &info));
    EXPECT_EQ(info.soundFormat, 2);
    return info.videoCodecId;
  };
  EXPECT_EQ(make(TARVEL_PROBE_BYTE_LIMIT - 1000), 2);
  EXPECT_EQ(make(TARVEL_PROBE_BYTE_LIMIT + 1000), -1);
}

TEST(Probe, SkipsADamagedTagAsTheReaderDoes) {
  TempDir dir;
  std::vector<uint8_t> bytes =
      FlvBuilder().script(0, std::vector<uint8_t>(30, 5)).video(1, 0x17, {0}).audio(2, 0x2A, {1}).bytes();
  bytes[13 + 1] = 0xFF;  // the script tag's DataSize now runs past the end of the file
  testing_flv::writeFile(dir.file("a.flv"), bytes);
  StreamInfo info{};
  ASSERT_TRUE(GetFLVInfoFromFile(dir.file("a.flv").c_str(), &info));
  EXPECT_EQ(info.videoCodecId, 7);
  EXPECT_EQ(info.soundFormat, 2);
}

}  // namespace
