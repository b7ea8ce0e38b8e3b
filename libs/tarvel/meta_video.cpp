// Picture sizes from the first bytes of FLV video payloads.
#include <array>
#include <vector>

#include "libs/tarvel/flv_format.h"
#include "libs/tarvel/meta_bits.h"
#include "libs/tarvel/meta_codecs.h"

namespace tarvel {

namespace {

bool accept(uint32_t width, uint32_t height, Dimensions* d) {
  if (width == 0 || height == 0) return false;
  d->width = width;
  d->height = height;
  return true;
}

// H.264 profiles whose SPS carries chroma format, bit depths and scaling lists.
bool hasChromaInfo(uint32_t profile) {
  constexpr std::array<uint32_t, 13> kProfiles = {100, 110, 122, 244, 44, 83, 86,
                                                  118, 128, 138, 139, 134, 135};
  for (uint32_t p : kProfiles) {
    if (p == profile) return true;
  }
  return false;
}

// Scaling lists only need to be walked over: their deltas are exp-Golomb coded.
void skipScalingList(BitReader& in, int size) {
  int32_t last = 8;
  int32_t next = 8;
  for (int j = 0; j < size && in.ok(); ++j) {
    if (next != 0) next = (last + in.se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

}  // namespace

// Drops the emulation-prevention byte of every 00 00 03 sequence.
std::vector<uint8_t> unescapeNal(const uint8_t* nal, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    out.push_back(nal[i]);
  }
  return out;
}

bool sorensonDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  BitReader in(p, size);
  if (in.bits(17) != 1) return false;  // picture start code
  if (in.bits(5) > 1) return false;    // version 0 or 1
  in.skip(8);                          // temporal reference
  static constexpr std::array<std::array<uint16_t, 2>, 5> kSizes = {
      {{352, 288}, {176, 144}, {128, 96}, {320, 240}, {160, 120}}};
  uint32_t format = in.bits(3);
  uint32_t width = 0;
  uint32_t height = 0;
  if (format == 0 || format == 1) {
    int bits = format == 0 ? 8 : 16;
    width = in.bits(bits);
    height = in.bits(bits);
  } else if (format <= 6) {
    width = kSizes[format - 2][0];
    height = kSizes[format - 2][1];
  }
  return in.ok() && accept(width, height, d);
}

bool screenVideoDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  BitReader in(p, size);
  in.skip(4);  // block width
  uint32_t width = in.bits(12);
  in.skip(4);  // block height
  uint32_t height = in.bits(12);
  return in.ok() && accept(width, height, d);
}

bool vp6Dimensions(const uint8_t* p, size_t size, Dimensions* d) {
  if (size < 1 + 6) return false;
  uint32_t adjustWidth = p[0] >> 4;
  uint32_t adjustHeight = p[0] & 0x0F;
  const uint8_t* frame = p + 1;
  size_t left = size - 1;
  if (frame[0] & 0x80) return false;  // only key frames carry the size
  // A key frame without the loop filter header, or with separated
  // coefficients, has a two-byte partition offset before the dimensions.
  bool separatedCoefficients = frame[0] & 1;
  bool filterHeader = frame[1] & 0x06;
  size_t at = (separatedCoefficients || !filterHeader) ? 4 : 2;
  if (left < at + 2) return false;
  uint32_t rows = frame[at];      // macroblock rows stored
  uint32_t columns = frame[at + 1];
  if (rows * 16 <= adjustHeight || columns * 16 <= adjustWidth) return false;
  return accept(columns * 16 - adjustWidth, rows * 16 - adjustHeight, d);
}

bool vp6AlphaDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  if (size < 4) return false;
  // Move the adjustment byte next to the frame, past the alpha offset.
  std::array<uint8_t, kVideoPeekBytes> joined{};
  size_t n = size - 3 < joined.size() ? size - 3 : joined.size();
  joined[0] = p[0];
  for (size_t i = 1; i < n; ++i) joined[i] = p[3 + i];
  return vp6Dimensions(joined.data(), n, d);
}

bool spsDimensions(const uint8_t* nal, size_t size, Dimensions* d) {
  std::vector<uint8_t> rbsp = unescapeNal(nal, size);
  BitReader in(rbsp.data(), rbsp.size());
  if ((in.bits(8) & 0x1F) != 7) return false;  // NAL header: SPS
  uint32_t profile = in.bits(8);
  in.skip(16);  // constraint flags, level
  in.ue();      // seq_parameter_set_id
  uint32_t chromaFormat = 1;
  bool separateColourPlanes = false;
  if (hasChromaInfo(profile)) {
    chromaFormat = in.ue();
    if (chromaFormat > 3) return false;
    if (chromaFormat == 3) separateColourPlanes = in.flag();
    in.ue();  // bit_depth_luma_minus8
    in.ue();  // bit_depth_chroma_minus8
    in.skip(1);  // qpprime_y_zero_transform_bypass
    if (in.flag()) {  // seq_scaling_matrix_present
      int lists = chromaFormat == 3 ? 12 : 8;
      for (int i = 0; i < lists && in.ok(); ++i) {
        if (in.flag()) skipScalingList(in, i < 6 ? 16 : 64);
      }
    }
  }
  in.ue();  // log2_max_frame_num_minus4
  uint32_t pocType = in.ue();
  if (pocType == 0) {
    in.ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    in.skip(1);  // delta_pic_order_always_zero
    in.se();     // offset_for_non_ref_pic
    in.se();     // offset_for_top_to_bottom_field
    uint32_t cycle = in.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && in.ok(); ++i) in.se();
  } else if (pocType > 2) {
    return false;
  }
  in.ue();      // max_num_ref_frames
  in.skip(1);   // gaps_in_frame_num_allowed
  uint32_t widthMbs = in.ue() + 1;
  uint32_t heightMapUnits = in.ue() + 1;
  bool frameMbsOnly = in.flag();
  if (!frameMbsOnly) in.skip(1);  // mb_adaptive_frame_field
  in.skip(1);                     // direct_8x8_inference
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (in.flag()) {
    cropLeft = in.ue();
    cropRight = in.ue();
    cropTop = in.ue();
    cropBottom = in.ue();
  }
  if (!in.ok() || widthMbs > 1024 || heightMapUnits > 1024) return false;
  // Cropping counts in chroma samples: 4:2:0 halves both directions, 4:2:2
  // only the horizontal; fields double the vertical unit.
  uint32_t chromaArrayType = separateColourPlanes ? 0 : chromaFormat;
  uint32_t cropUnitX = (chromaArrayType == 1 || chromaArrayType == 2) ? 2 : 1;
  uint32_t cropUnitY = (chromaArrayType == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
  uint64_t width = uint64_t{widthMbs} * 16;
  uint64_t height = uint64_t{heightMapUnits} * 16 * (frameMbsOnly ? 1 : 2);
  uint64_t cropX = (uint64_t{cropLeft} + cropRight) * cropUnitX;
  uint64_t cropY = (uint64_t{cropTop} + cropBottom) * cropUnitY;
  if (cropX >= width || cropY >= height) return false;
  return accept(static_cast<uint32_t>(width - cropX), static_cast<uint32_t>(height - cropY), d);
}

bool avcDimensions(const uint8_t* p, size_t size, Dimensions* d) {
  // AVCPacketType (0: sequence header), CompositionTime (SI24), then the
  // AVCDecoderConfigurationRecord: version, profile, compatibility, level,
  // length size, SPS count (low 5 bits), then each SPS with a UI16 length.
  constexpr size_t kRecordAt = 4;
  if (size < kRecordAt + 8 || p[0] != 0) return false;
  return avcRecordDimensions(p + kRecordAt, size - kRecordAt, d);
}

bool avcRecordDimensions(const uint8_t* record, size_t left, Dimensions* d) {
  if (left < 8 || (record[5] & 0x1F) == 0) return false;
  size_t spsSize = (size_t{record[6]} << 8) | record[7];
  if (spsSize == 0 || spsSize > left - 8) return false;
  return spsDimensions(record + 8, spsSize, d);
}

bool videoDimensions(int codecId, const uint8_t* p, size_t size, Dimensions* d) {
  switch (codecId) {
    case flv::kSorensonH263: return sorensonDimensions(p, size, d);
    case flv::kScreenVideo:
    case flv::kScreenVideo2: return screenVideoDimensions(p, size, d);
    case flv::kVp6: return vp6Dimensions(p, size, d);
    case flv::kVp6Alpha: return vp6AlphaDimensions(p, size, d);
    case flv::kAvc: return avcDimensions(p, size, d);
    default: return false;
  }
}

}  // namespace tarvel
