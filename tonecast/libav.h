// The libavcodec and libavutil functions that the Nellymoser decoder calls,
// as one table. How the libraries are reached is the build's choice: on
// Linux they are loaded when first needed (libav_dlopen.cpp); the Windows
// program has them linked in (libav_linked.cpp).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace tonecast {

struct LibAv {
  decltype(&avcodec_find_decoder) findDecoder;
  decltype(&avcodec_alloc_context3) allocContext;
  decltype(&avcodec_open2) open;
  decltype(&avcodec_send_packet) sendPacket;
  decltype(&avcodec_receive_frame) receiveFrame;
  decltype(&avcodec_free_context) freeContext;
  decltype(&av_packet_alloc) packetAlloc;
  decltype(&av_packet_free) packetFree;
  decltype(&av_frame_alloc) frameAlloc;
  decltype(&av_frame_unref) frameUnref;
  decltype(&av_frame_free) frameFree;
  decltype(&av_channel_layout_default) defaultLayout;
};

// The table, with the libraries' logging silenced (the converter prints
// nothing); null when the libraries cannot be loaded.
const LibAv* libAv();

}  // namespace tonecast
