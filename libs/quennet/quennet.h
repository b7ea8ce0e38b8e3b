/* Quennet: the codec library. Parses MP3 frame headers and reads the
 * properties of media files.
 *
 * A plain C interface: handles are opaque pointers, null on failure; other
 * results are int32_t, non-zero for success. Paths are narrow strings. */
#ifndef QUENNET_QUENNET_H_
#define QUENNET_QUENNET_H_

#include <stdint.h>

#if defined(QUENNET_STATIC)
#define QUENNET_API
#elif defined(_WIN32)
#if defined(QUENNET_BUILD)
#define QUENNET_API __declspec(dllexport)
#else
#define QUENNET_API __declspec(dllimport)
#endif
#else
#define QUENNET_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Properties of an open media file, as AVR_GetAVInfo fills them. 56 bytes
 * in every build; duration at offset 40. */
typedef struct AvInfo {
  int32_t hasAudio;       /* 0 */
  int32_t hasVideo;       /* 4 */
  int32_t sampleRate;     /* 8: Hz */
  int32_t channels;       /* 12 */
  int32_t bitRate;        /* 16: average, bits per second */
  int32_t frameCount;     /* 20: MP3 frames walked (an Xing/Info frame excluded) */
  int64_t sampleCount;    /* 24: samples per channel a player plays: frames x samples per
                             frame, less the encoder delay, and less the padding when
                             the file holds every frame its encoder wrote */
  int32_t encoderDelay;   /* 32: samples skipped at the start (LAME tag), else 0 */
  int32_t encoderPadding; /* 36: samples dropped at the end (LAME tag), else 0 */
  int64_t duration;       /* 40: sampleCount in ticks of 100 ns, truncated */
  int32_t mpegVersion;    /* 48: 1, 2, or 25 for MPEG-2.5 */
  int32_t layer;          /* 52: 1, 2 or 3 */
} AvInfo;

/* Prepares the library; safe to call more than once. Returns non-zero. */
QUENNET_API int32_t Quennet_init(void);

/* Parses the 4-byte MPEG audio frame header at frame. Returns the frame's
 * length in bytes (> 0) and sets *samplesPerFrame and *sampleRate (> 0), or
 * returns -1 when no valid header stands there (bad sync, reserved version,
 * layer, bitrate or rate index, free-format bitrate). Reads 4 bytes. */
QUENNET_API int32_t GetMP3FrameSize(const uint8_t* frame, int32_t* samplesPerFrame,
                                    int32_t* sampleRate);

/* Media reader: create, open a file, describe it, close, delete. */
QUENNET_API void* AVR_Create(void);
/* Opens an MP3 file (mode 6 is the only mode; others are refused) and walks
 * its frames; zero if it is not MP3, cannot be read, or holds no frame. */
QUENNET_API int32_t AVR_Open(void* reader, const char* path, int32_t mode);
QUENNET_API int32_t AVR_GetAVInfo(void* reader, AvInfo* info);
QUENNET_API void AVR_Close(void* reader);
QUENNET_API void AVR_Delete(void* reader);

#ifdef __cplusplus
}
#endif

#endif /* QUENNET_QUENNET_H_ */
