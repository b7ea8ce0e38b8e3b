#include "tonecast/libav.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tonecast {

// The Windows program carries its own minimal libavcodec, linked in: no
// libraries to find beside it, and nothing to load.
const LibAv* libAv() {
  static const LibAv av = [] {
    av_log_set_level(AV_LOG_QUIET);  // the converter is silent
    return LibAv{avcodec_find_decoder, avcodec_alloc_context3, avcodec_open2, avcodec_send_packet,
                 avcodec_receive_frame, avcodec_free_context, av_packet_alloc, av_packet_free,
                 av_frame_alloc, av_frame_unref, av_frame_free, av_channel_layout_default};
  }();
  return &av;
}

}  // namespace tonecast
