// Stream probe: which video codec and audio format a file carries, decided
// from the tags themselves (the header's flags may lie). Walks tag headers
// only, seeking over payloads and past damage as the reader does, until it
// has seen both streams or passed TARVEL_PROBE_BYTE_LIMIT bytes of the file:
// a stream that starts late is found whatever the header says, and probing
// a long file with one stream stays bounded.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/tag_heads.h"
#include "libs/tarvel/tag_reader.h"
#include "libs/tarvel/tarvel.h"

namespace tarvel {
namespace {

int32_t sampleRateOf(int soundFormat, int rateIndex) {
  switch (soundFormat) {
    case flv::kNellymoser8kMono: return 8000;
    case flv::kNellymoser16kMono: return 16000;
    case flv::kMp38k: return 8000;
    default: return flv::kSoundRates[rateIndex & 3];
  }
}

// The first bytes of a skipped tag's data, read as a header. A tag whose
// header is cut short names no codec.
template <typename Head>
bool readHead(TagReader& reader, int64_t tagAt, uint32_t dataSize, Head* head) {
  uint8_t data[flv::kHeadPeekBytes];
  size_t n = std::min<size_t>(dataSize, sizeof data);
  if (!reader.readInput(data, static_cast<int64_t>(n), tagAt + flv::kTagHeaderSize)) return false;
  if constexpr (std::is_same_v<Head, flv::VideoHead>) {
    return flv::readVideoHead(data, n, head);
  } else {
    return flv::readAudioHead(data, n, head);
  }
}

bool probe(TagReader& reader, StreamInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->videoCodecId = -1;
  info->soundFormat = -1;
  FlvHeaderRecord header;
  if (!reader.readHeader(&header)) return false;
  info->headerFlags = header.flags;
  uint8_t h[flv::kTagHeaderSize + 1];
  uint32_t dataSize = 0;
  int64_t tagAt = 0;
  while (reader.tell() < TARVEL_PROBE_BYTE_LIMIT && reader.skipTag(h, &dataSize, &tagAt)) {
    bool hasFlags = dataSize > 0;
    int type = h[0] & 0x1F;
    ++info->tagsProbed;
    if (type == flv::kVideo && info->videoCodecId < 0 && hasFlags) {
      flv::VideoHead v;
      if (!readHead(reader, tagAt, dataSize, &v)) continue;
      info->videoCodecId = static_cast<int32_t>(v.codec);
    } else if (type == flv::kAudio && info->soundFormat < 0 && hasFlags) {
      uint8_t flags = h[flv::kTagHeaderSize];
      if ((flags >> 4) == flv::kExHeaderSoundFormat) {
        flv::AudioHead a;
        if (!readHead(reader, tagAt, dataSize, &a)) continue;
        info->audioFourCc = a.codec;
      }
      info->soundFormat = flags >> 4;
      info->soundRateIndex = (flags >> 2) & 3;
      info->soundSize = (flags >> 1) & 1;
      info->soundType = flags & 1;
      info->sampleRate = sampleRateOf(info->soundFormat, info->soundRateIndex);
      info->channels = info->soundType + 1;
      info->bitsPerSample = info->soundSize ? 16 : 8;
    }
    if (info->videoCodecId >= 0 && info->soundFormat >= 0) break;
  }
  return true;
}

}  // namespace
}  // namespace tarvel

extern "C" {

int32_t GetFLVInfo(void* reader, StreamInfo* info) {
  if (!reader || !info) return 0;
  tarvel::TagReader* r = tarvel::readerOf(reader);
  bool ok = tarvel::probe(*r, info);
  r->seek(0);
  return ok ? 1 : 0;
}

int32_t GetFLVInfoFromFile(const char* path, StreamInfo* info) {
  if (!path || !info) return 0;
  tarvel::TagReader reader;
  return reader.open(path) && tarvel::probe(reader, info) ? 1 : 0;
}

}  // extern "C"
