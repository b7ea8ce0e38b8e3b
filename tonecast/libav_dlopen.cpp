#include <dlfcn.h>

#include "tonecast/libav.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/macros.h>
}

namespace tonecast {

namespace {

// libavcodec is loaded when the first Nellymoser block arrives, not when
// the program starts: with the hundred libraries it brings (some 16 MiB of
// pages touched at load) it would triple the memory of a PCM conversion,
// which never needs it. The names are those of the major versions the
// program was built against, whose records it reads.
constexpr char kAvcodecName[] = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);
constexpr char kAvutilName[] = "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR);

template <typename F>
bool find(void* library, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(library, name));
  return *out != nullptr;
}

bool load(LibAv* av) {
  // Kept for the life of the process, as a linked library would be.
  void* codec = dlopen(kAvcodecName, RTLD_NOW | RTLD_LOCAL);
  void* util = codec ? dlopen(kAvutilName, RTLD_NOW | RTLD_LOCAL) : nullptr;
  decltype(&av_log_set_level) setLogLevel = nullptr;
  if (!util || !find(util, "av_log_set_level", &setLogLevel)) return false;
  setLogLevel(AV_LOG_QUIET);  // the converter is silent
  return find(codec, "avcodec_find_decoder", &av->findDecoder) &&
         find(codec, "avcodec_alloc_context3", &av->allocContext) && find(codec, "avcodec_open2", &av->open) &&
         find(codec, "avcodec_send_packet", &av->sendPacket) &&
         find(codec, "avcodec_receive_frame", &av->receiveFrame) &&
         find(codec, "avcodec_free_context", &av->freeContext) && find(codec, "av_packet_alloc", &av->packetAlloc) &&
         find(codec, "av_packet_free", &av->packetFree) && find(util, "av_frame_alloc", &av->frameAlloc) &&
         find(util, "av_frame_unref", &av->frameUnref) && find(util, "av_frame_free", &av->frameFree) &&
         find(util, "av_channel_layout_default", &av->defaultLayout);
}

}  // namespace

const LibAv* libAv() {
  static LibAv av;
  static const bool loaded = load(&av);
  return loaded ? &av : nullptr;
}

}  // namespace tonecast
