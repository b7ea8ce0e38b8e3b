// The timeline repairs. Each returns 1 on success and 0 on failure, reads
// its input by path with its own reader, writes its output with its own
// writer and rebuilds the output's metadata last.
#pragma once

#include <cstdint>

#include "libs/quennet/quennet.h"
#include "libs/tarvel/tarvel.h"

// Path buffers hold 260 characters and a terminator.
constexpr int kMaxPathLength = 260;

// Rebuilds the metadata of a closed FLV file. 1 on success; callers do not
// look at the result.
int refreshMetadata(const char* path);

// The duration, in ticks, of the MP3 frames at the start of an audio payload;
// the scan stops at the first position that holds no frame header.
int64_t measureMp3Duration(const uint8_t* payload, int32_t size);

// MP3 audio with video: writes outputPrefix + ".flv" with every audio tag
// stamped with the running length of the MP3 frames before it and every video
// tag moved with the latest audio tag; other tags are dropped. 0 when the
// input cannot be read, the output cannot be created (or would overwrite the
// input), the prefix is too long, or a write fails.
int rebuildMp3Timeline(const char* inputPath, const char* outputPrefix);

// AAC audio with video: as rebuildMp3Timeline, each raw AAC frame lasting
// its frame length (1024 or 960 samples) at the core rate of the latest
// sequence header. Also 0 when a raw frame comes while no usable sequence
// header applies (none yet, or the latest one empty or undecodable).
int rebuildAacTimeline(const char* inputPath, const char* outputPrefix);

// Fills info from the media file at path; 1 on success.
int readMediaInfo(const char* path, AvInfo* info);

// PCM audio: writes the input's video tags to flvPath, re-timed so the audio
// payloads span the converted MP3's length in proportion to their bytes and
// every gap keeps its stored length.
int retimeToConvertedAudio(const char* mp3Path, const char* inputPath, const char* flvPath);

// Nellymoser audio: writes the input's video tags to flvPath, re-timed by the
// length of the Nellymoser payloads. mp3Path is not read.
int retimeNellymoserVideo(const char* mp3Path, const char* inputPath, const char* flvPath);

// Speex audio: writes the input's video tags to flvPath, re-timed by the
// length of the Speex frames in the payloads (20 ms each). mp3Path is not
// read.
int retimeSpeexVideo(const char* mp3Path, const char* inputPath, const char* flvPath);

// How long one audio tag plays, by its sound format's rule (MP3 frames, PCM
// bytes over the byte rate, Nellymoser blocks, Speex frames; the MP3 frames
// of extended ".mp3" audio), in ticks; 0 for an empty tag and for a format
// without a rule. MP3 and Speex frames are counted in the bytes the record
// holds: only a tag read whole gives its full length.
int64_t audioTagTicks(const TagRecord& tag);

// Sample rate of a Nellymoser audio tag: 16000 for format 4, 8000 for
// format 5, else the rate index's rate, or -1 for an index outside 0-3.
int32_t nellymoserSampleRate(const TagRecord& tag);
// Length in ticks of a Nellymoser tag's whole 64-byte blocks.
int64_t nellymoserTagDuration(const TagRecord& tag);
