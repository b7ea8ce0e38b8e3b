// Picture sizes of the codecs the extended video header carries: HEVC from
// its SPS, AV1 from its sequence header, VP9 from a key frame's header.
#include "libs/tarvel/meta_bits.h"
#include "libs/tarvel/meta_codecs.h"

namespace tarvel {

namespace {

constexpr uint32_t kMaxSide = 65536;

bool accept(uint64_t width, uint64_t height, Dimensions* d) {
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
  d->width = static_cast<uint32_t>(width);
  d->height = static_cast<uint32_t>(height);
  return true;
}

// profile_tier_level with its profile present: the general part (88 bits of
// profile, 8 of level), then what each sub-layer says it carries.
void skipProfileTierLevel(BitReader& in, uint32_t maxSubLayersMinus1) {
  in.skip(88 + 8);
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = in.flag();
    levelPresent[i] = in.flag();
  }
  if (maxSubLayersMinus1 > 0) in.skip(2 * (8 - maxSubLayersMinus1));  // reserved_zero_2bits
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) in.skip(88);
    if (levelPresent[i]) in.skip(8);
  }
}

// OBU header: forbidden bit, type (4), extension flag, has-size flag, reserved.
constexpr uint32_t kObuSequenceHeader = 1;

// leb128, at most 8 bytes, as AV1 sizes are coded.
bool readLeb128(const uint8_t* p, size_t size, size_t* at, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < 8; ++i) {
    if (*at >= size) return false;
    uint8_t byte = p[(*at)++];
    *value |= uint64_t{byte & 0x7Fu} << (7 * i);
    if (!(byte & 0x80)) return true;
  }
  return false;
}

bool av1SequenceHeaderDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  BitReader in(p, size);
  in.skip(3);  // seq_profile
  in.skip(1);  // still_picture
  if (in.flag()) {  // reduced_still_picture_header
    in.skip(5);     // seq_level_idx[0]
  } else {
    bool decoderModelInfo = false;
    uint32_t bufferDelayBits = 0;
    if (in.flag()) {  // timing_info_present_flag
      in.skip(32 + 32);  // num_units_in_display_tick, time_scale
      if (in.flag()) in.ue();  // equal_picture_interval: num_ticks_per_picture_minus_1 (uvlc)
      decoderModelInfo = in.flag();
      if (decoderModelInfo) {
        bufferDelayBits = in.bits(5) + 1;
        in.skip(32 + 5 + 5);  // decoding tick, removal and presentation time lengths
      }
    }
    bool initialDisplayDelay = in.flag();
    uint32_t operatingPoints = in.bits(5) + 1;
    for (uint32_t i = 0; i < operatingPoints && in.ok(); ++i) {
      in.skip(12);  // operating_point_idc
      if (in.bits(5) > 7) in.skip(1);  // seq_level_idx, seq_tier
      if (decoderModelInfo && in.flag()) in.skip(2 * bufferDelayBits + 1);
      if (initialDisplayDelay && in.flag()) in.skip(4);
    }
  }
  int widthBits = static_cast<int>(in.bits(4)) + 1;
  int heightBits = static_cast<int>(in.bits(4)) + 1;
  uint64_t width = uint64_t{in.bits(widthBits)} + 1;
  uint64_t height = uint64_t{in.bits(heightBits)} + 1;
  return in.ok() && accept(width, height, d);
}

}  // namespace

bool hevcSpsDimensions(const uint8_t* nal, size_t size, Dimensions* d) {
  std::vector<uint8_t> rbsp = unescapeNal(nal, size);
  BitReader in(rbsp.data(), rbsp.size());
  if (((in.bits(16) >> 9) & 0x3F) != 33) return false;  // NAL header: SPS
  in.skip(4);  // sps_video_parameter_set_id
  uint32_t maxSubLayersMinus1 = in.bits(3);
  if (maxSubLayersMinus1 > 6) return false;
  in.skip(1);  // sps_temporal_id_nesting_flag
  skipProfileTierLevel(in, maxSubLayersMinus1);
  in.ue();  // sps_seq_parameter_set_id
  uint32_t chromaFormat = in.ue();
  if (chromaFormat > 3) return false;
  bool separateColourPlanes = chromaFormat == 3 && in.flag();
  uint64_t width = in.ue();
  uint64_t height = in.ue();
  uint64_t cropX = 0, cropY = 0;
  if (in.flag()) {  // conformance_window_flag: offsets in chroma samples
    uint32_t chromaArrayType = separateColourPlanes ? 0 : chromaFormat;
    uint64_t unitX = (chromaArrayType == 1 || chromaArrayType == 2) ? 2 : 1;
    uint64_t unitY = chromaArrayType == 1 ? 2 : 1;
    uint64_t left = in.ue(), right = in.ue(), top = in.ue(), bottom = in.ue();
    cropX = (left + right) * unitX;
    cropY = (top + bottom) * unitY;
  }
  if (!in.ok() || cropX >= width || cropY >= height) return false;
  return accept(width - cropX, height - cropY, d);
}

bool hevcRecordDimensions(const uint8_t* record, size_t size, Dimensions* d) {
  // 22 bytes of profile, chroma and length fields, then numOfArrays; each
  // array: NAL type (low 6 bits), numNalus (UI16), then each NAL unit with a
  // UI16 length.
  constexpr size_t kArraysAt = 22;
  if (size < kArraysAt + 1 || record[0] != 1) return false;
  size_t at = kArraysAt + 1;
  for (uint32_t array = 0; array < record[kArraysAt]; ++array) {
    if (size - at < 3) return false;
    uint32_t type = record[at] & 0x3F;
    uint32_t count = (uint32_t{record[at + 1]} << 8) | record[at + 2];
    at += 3;
    for (uint32_t i = 0; i < count; ++i) {
      if (size - at < 2) return false;
      size_t length = (size_t{record[at]} << 8) | record[at + 1];
      at += 2;
      if (length > size - at) return false;
      if (type == 33) return hevcSpsDimensions(record + at, length, d);
      at += length;
    }
  }
  return false;
}

bool av1ObuDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  size_t at = 0;
  while (at < size) {
    uint8_t header = p[at++];
    uint32_t type = (header >> 3) & 0x0F;
    if (header & 0x04) ++at;  // obu_extension_header
    uint64_t length = size > at ? size - at : 0;  // without a size field, the OBU runs to the end
    if ((header & 0x02) && !readLeb128(p, size, &at, &length)) return false;
    if (at > size || length > size - at) return false;
    if (type == kObuSequenceHeader) return av1SequenceHeaderDimensions(p + at, static_cast<size_t>(length), d);
    at += static_cast<size_t>(length);
  }
  return false;
}

bool av1RecordDimensions(const uint8_t* record, size_t size, Dimensions* d) {
  // marker and version (0x81), profile and level, tier, depth and chroma
  // bits, presentation delay; then configOBUs.
  constexpr size_t kObusAt = 4;
  if (size <= kObusAt || record[0] != 0x81) return false;
  return av1ObuDimensions(record + kObusAt, size - kObusAt, d);
}

bool vp9FrameDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  BitReader in(p, size);
  if (in.bits(2) != 2) return false;  // frame_marker
  uint32_t profile = in.bits(1);
  profile |= in.bits(1) << 1;
  if (profile == 3) in.skip(1);  // reserved_zero
  if (in.flag()) return false;   // show_existing_frame: no header follows
  if (in.flag()) return false;   // frame_type 1: not a key frame
  in.skip(2);                    // show_frame, error_resilient_mode
  if (in.bits(24) != 0x498342) return false;  // frame_sync_code
  if (profile >= 2) in.skip(1);  // ten_or_twelve_bit
  constexpr uint32_t kColourSpaceRgb = 7;
  if (in.bits(3) != kColourSpaceRgb) {
    in.skip(1);                                // color_range
    if (profile == 1 || profile == 3) in.skip(3);  // subsampling_x, subsampling_y, reserved_zero
  } else if (profile == 1 || profile == 3) {
    in.skip(1);  // reserved_zero
  }
  uint64_t width = uint64_t{in.bits(16)} + 1;
  uint64_t height = uint64_t{in.bits(16)} + 1;
  return in.ok() && accept(width, height, d);
}

}  // namespace tarvel
