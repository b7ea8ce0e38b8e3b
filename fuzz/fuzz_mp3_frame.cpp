// GetMP3FrameSize on any four bytes, and measureMp3Duration on any payload
// followed by the padding the FLV reader guarantees.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "libs/quennet/quennet.h"
#include "retime/retime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Exactly four bytes of their own, so that a longer read is seen.
  std::vector<uint8_t> header(data, data + 4);
  int32_t samples = 0;
  int32_t rate = 0;
  int32_t length = GetMP3FrameSize(header.data(), &samples, &rate);
  if (length != -1 && (length <= 0 || samples <= 0 || rate <= 0))
    fuzz::fail("a frame length without a positive sample count and rate");
  if (length > 0 && length < 4) fuzz::fail("a frame shorter than its header");

  // The payload as a tag holds it: TARVEL_TAG_PADDING zero bytes behind it.
  size_t payloadSize = size > 1 << 20 ? 1 << 20 : size;
  std::vector<uint8_t> payload(payloadSize + TARVEL_TAG_PADDING, 0);
  std::memcpy(payload.data(), data, payloadSize);
  int64_t ticks = measureMp3Duration(payload.data(), static_cast<int32_t>(payloadSize));
  if (ticks < 0) fuzz::fail("a negative duration");
  return 0;
}
