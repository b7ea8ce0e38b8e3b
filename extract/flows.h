// Extract-and-retime flows for PCM, Nellymoser and Speex audio: the converter
// writes prefix + ".mp3"; when the input has video, prefix + ".flv" follows,
// re-timed to that audio. Each returns 1 on success, 0 on failure.
#pragma once

int extractAndRetimePcm(const char* inputPath, const char* prefix);
int extractAndRetimeNellymoser(const char* inputPath, const char* prefix);
int extractAndRetimeSpeex(const char* inputPath, const char* prefix);
