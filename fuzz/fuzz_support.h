// What the fuzz targets share: a scratch directory of the process's own for
// the files the code under test reads and writes, and a failure report that
// libFuzzer records as a crash with its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// A path in this process's scratch directory (made on first use, removed at
// exit).
std::string scratchPath(const std::string& name);

// Writes size bytes to the scratch file name and returns its path.
std::string writeScratch(const std::string& name, const uint8_t* data, size_t size);

std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
void removeFile(const std::string& path);

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what);

// Aborts unless the file at path still holds exactly data[0, size).
void expectUnchanged(const std::string& path, const uint8_t* data, size_t size);

// A small valid MP3 file: frames MPEG-1 layer III, 128 kb/s, 44.1 kHz, of
// silence-like zero bodies.
std::vector<uint8_t> smallMp3(int frames);

}  // namespace fuzz
