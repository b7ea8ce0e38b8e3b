/* Tarvel: the FLV container library. Reads and writes FLV files tag by tag,
 * probes their streams and rebuilds their metadata.
 *
 * A plain C interface: handles are opaque pointers, null on failure; other
 * results are int32_t, non-zero for success. Paths are narrow strings in the
 * system's code page. No function throws. */
#ifndef TARVEL_TARVEL_H_
#define TARVEL_TARVEL_H_

#include <stddef.h>
#include <stdint.h>

#if defined(TARVEL_STATIC)
#define TARVEL_API
#elif defined(_WIN32)
#if defined(TARVEL_BUILD)
#define TARVEL_API __declspec(dllexport)
#else
#define TARVEL_API __declspec(dllimport)
#endif
#else
#define TARVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One tag, as Flv_ReadTag fills it. The payload and raw pointers point into
 * memory owned by the reader; they stay valid until Flv_FreeTag on this
 * record or the next Flv_ReadTag on the same reader, whichever comes first.
 * Both buffers are followed by at least TARVEL_TAG_PADDING zero bytes, so a
 * parser that peeks a few bytes past a payload's end stays inside memory.
 *
 * The layout is fixed for 32-bit builds (168 bytes; payload at 28, raw at
 * 148); 64-bit builds widen the pointers. */
typedef struct TagRecord {
  int32_t tagType;        /* 0: 8 audio, 9 video, 18 script data, others as stored */
  uint32_t timestamp;     /* 4: milliseconds, extended byte included, as stored */
  uint32_t dataSize;      /* 8: the tag header's DataSize */
  int32_t soundFormat;    /* 12: audio: SoundFormat (bits 7-4 of the flags byte); -1 if no flags byte */
  int32_t soundRate;      /* 16: audio: SoundRate index 0-3 */
  int32_t soundSize;      /* 20: audio: 0 = 8-bit samples, 1 = 16-bit */
  int32_t soundType;      /* 24: audio: 0 = mono, 1 = stereo */
  uint8_t* payload;       /* 28: the data after the one-byte audio or video flags; script: all data */
  int32_t payloadSize;    /* payload bytes; 0 for an audio tag of one flags byte or none */
  int32_t frameType;      /* video: FrameType (bits 7-4 of the flags byte); -1 if none */
  int32_t codecId;        /* video: CodecID (bits 3-0 of the flags byte); -1 if none */
  uint32_t rawSize;       /* 11-byte tag header plus DataSize */
  int64_t filePosition;   /* where the tag header starts in the input */
  uint8_t reserved[92];
  uint8_t* raw;           /* 148: the tag's bytes, 11-byte header first */
  uint32_t rawCapacity;   /* owned by the library */
  uint8_t reserved2[12];
} TagRecord;

#define TARVEL_TAG_PADDING 64

/* The file header as read; Flv_WriteHeader takes it back unchanged. */
typedef struct FlvHeaderRecord {
  uint8_t signature[3]; /* "FLV" */
  uint8_t version;
  uint8_t flags;        /* bit 2 audio, bit 0 video */
  uint8_t sizeClass;    /* bit length of the size of the file it was read from */
  uint8_t reserved[2];
  uint32_t dataOffset;  /* header size as stored (9 in version 1) */
} FlvHeaderRecord;

/* What a probe finds in the first tags of a file. */
typedef struct StreamInfo {
  int32_t headerFlags;    /* 0: the header's type flags, which may lie */
  int32_t videoCodecId;   /* 4: codec of the first video tag (an extended header's FourCC as a big-endian number); -1 without video */
  int32_t soundFormat;    /* 8: format of the first audio tag with a flags byte; -1 without audio; 9: extended, see audioFourCc */
  int32_t soundRateIndex; /* 12: that tag's SoundRate index */
  int32_t soundSize;      /* 16: that tag's SoundSize bit */
  int32_t soundType;      /* 20: that tag's SoundType bit */
  int32_t tagsProbed;     /* 24: tags read by the probe */
  uint32_t audioFourCc;   /* 28: sound format 9: the FourCC of the extended audio header (".mp3", "mp4a", ...); else 0 */
  int32_t sampleRate;     /* 32: the first audio tag's rate in Hz (Nellymoser 8 kHz: 8000) */
  int32_t reserved2;      /* 36 */
  int32_t channels;       /* 40: 1 or 2 */
  int32_t bitsPerSample;  /* 44: 8 or 16 */
  int32_t reserved3[4];   /* 48 */
} StreamInfo;

/* A file as it is now: which file (device and index on its volume), its
 * size and its modification time in the system's ticks. Two records are
 * equal only for the same file, unchanged. */
typedef struct FlvFileVersion {
  uint64_t device;  /* 0 */
  uint64_t index;   /* 8 */
  int64_t size;     /* 16 */
  int64_t modified; /* 24 */
} FlvFileVersion;

/* A probe reads tags until it has seen audio and video, or until it has
 * passed this many bytes of the file (tag headers only: payloads are
 * skipped). */
#define TARVEL_PROBE_BYTE_LIMIT (INT64_C(256) << 20)

/* The reader object starts with a pointer to its table of operations. The
 * third entry, seek(reader, offsetLow, offsetHigh, whence) with whence 0 from
 * the file's start, moves the reader; called with three zeros it rewinds, so
 * that Flv_ReadHeader and Flv_ReadTag start over. */
typedef struct FlvReaderOps {
  void (*destroy)(void* reader);
  int64_t (*tell)(void* reader);
  int32_t (*seek)(void* reader, int32_t offsetLow, int32_t offsetHigh, int32_t whence);
} FlvReaderOps;

TARVEL_API void* CreateFileReadAble(const char* path);
TARVEL_API void DeleteFileReadAble(void* reader);
/* The version of the file a reader reads, as it is now. */
TARVEL_API int32_t Flv_GetFileVersion(void* reader, FlvFileVersion* version);
/* Creates (or truncates) the file at path. */
TARVEL_API void* CreateFileWriteAble(const char* path);
/* Opens the file at path for writing from its start, only when it is the
 * regular file that `file` names (device and index) and never through a
 * link: for a file made by the caller, which someone may have put another
 * file or a link in place of since. Never creates a file. */
TARVEL_API void* CreateFileWriteAbleChecked(const char* path, const FlvFileVersion* file);
/* Flushes and closes the writer. Non-zero when every write and the close
 * succeeded: zero means the file is incomplete (a failed write is kept in
 * mind from the moment it happens and reported here). */
TARVEL_API int32_t DeleteFileWritable(void* writer);

/* Closes the writer like DeleteFileWritable, giving the file fresh metadata
 * first: the same onMetaData that FlvMetaParseFromFile and
 * FlvMetaUpdateToFile would give the closed file, built from the tags as
 * they were written instead of read back (over the room in front where it
 * fits). Returns what DeleteFileWritable returns; *metadataWritten (may be
 * null) is 1 when the metadata is in place, 0 when the file is complete but
 * without it. */
TARVEL_API int32_t Flv_CloseWithMetadata(void* writer, int32_t* metadataWritten);

/* Reads the file header and the first PreviousTagSize; honours DataOffset. */
TARVEL_API int32_t Flv_ReadHeader(void* reader, FlvHeaderRecord* header);
/* Writes a 9-byte header (DataOffset 9) and PreviousTagSize0, then room for
 * the metadata that FlvMetaUpdateToFile will write: a placeholder onMetaData
 * tag holding padding alone, sized by the header's sizeClass. */
TARVEL_API int32_t Flv_WriteHeader(void* writer, const FlvHeaderRecord* header);
/* Reads the next tag. Zero at the end of the file, and when the input fails
 * (Flv_ReadFailed tells). A tag is taken when the PreviousTagSize behind it
 * (or the next tag) confirms its size; a damaged tag is skipped, and a last
 * tag the file holds only in part ends the input (one whose PreviousTagSize
 * alone is cut is read). mode TARVEL_READ_WHOLE (1) reads every tag whole.
 * mode TARVEL_READ_SKIP_VIDEO (2) moves past a video tag's data without
 * reading it: the record then holds the tag's header and at most
 * TARVEL_VIDEO_HEAD_BYTES of its data (the flags byte first; rawSize and
 * payloadSize count the bytes held; dataSize keeps the stored size), and
 * such a record must not be written by Flv_WriteTag. Other tags are read
 * whole in mode 2. mode TARVEL_READ_HEADS (3) does so with every tag. */
#define TARVEL_READ_WHOLE 1
#define TARVEL_READ_SKIP_VIDEO 2
#define TARVEL_READ_HEADS 3
#define TARVEL_VIDEO_HEAD_BYTES 32
TARVEL_API int32_t Flv_ReadTag(void* reader, int32_t mode, TagRecord* tag);
/* Non-zero when reading stopped because the input failed rather than at its
 * end: a read error, or the file cut short or shrunk by another program
 * while it was read. It stays so (Flv_ReadTag returns zero) until the
 * reader is deleted; a repair that sees it has read a damaged copy. */
TARVEL_API int32_t Flv_ReadFailed(void* reader);
/* Appends the tag from its raw bytes, followed by its PreviousTagSize. */
TARVEL_API int32_t Flv_WriteTag(void* writer, const TagRecord* tag);
/* Appends a tag that Flv_ReadTag has read from reader, in any mode (the
 * latest one, or an earlier one whose record's header bytes the caller kept):
 * its 11-byte header from tag->raw as the caller left it (a new timestamp),
 * its data as the input holds it (changes to the record's payload are not
 * written), then its PreviousTagSize. Where the reader's buffer still holds
 * the tag, the header and PreviousTagSize are put over the old ones there
 * and the tag is written from it, with no further copy; the writes are made
 * in the background while the caller reads on. The header's DataSize must
 * be the record's dataSize. A write that fails, also later, is reported
 * here or by the close. */
TARVEL_API int32_t Flv_WriteTagFrom(void* writer, void* reader, const TagRecord* tag);
TARVEL_API void Flv_FreeTag(TagRecord* tag);

/* Probes from the reader's start and leaves the reader rewound. */
TARVEL_API int32_t GetFLVInfo(void* reader, StreamInfo* info);
TARVEL_API int32_t GetFLVInfoFromFile(const char* path, StreamInfo* info);

/* Metadata: parse a closed FLV file and write it back with a fresh
 * onMetaData tag in front: over the room in front where there is enough
 * (a file from this library's writer), else by inserting blocks or by a
 * copy renamed over the file, which takes the file's permissions. On
 * failure the file stays as it was. path names the regular file itself:
 * a link (which a copy would be renamed over), a device or a pipe is
 * refused. The update refuses a file other than the one parsed, or one
 * changed since. */
TARVEL_API void* FlvMetaCreateObject(void);
TARVEL_API int32_t FlvMetaParseFromFile(void* meta, const char* path);
TARVEL_API int32_t FlvMetaUpdateToFile(void* meta, const char* path);
TARVEL_API void FlvMetaDeleteObject(void* meta);

#ifdef __cplusplus
}
#endif

#endif /* TARVEL_TARVEL_H_ */
