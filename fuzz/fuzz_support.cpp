#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <unistd.h>

namespace fuzz {
namespace {

std::filesystem::path scratchDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path d = std::filesystem::temp_directory_path() /
                              ("tagmend-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    static const std::filesystem::path removeAtExit = d;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removeAtExit, ignored);
    });
    return d;
  }();
  return dir;
}

}  // namespace

std::string scratchPath(const std::string& name) { return (scratchDir() / name).string(); }

std::string writeScratch(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = scratchPath(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) fail("cannot write the scratch file");
  return path;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

void removeFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void expectUnchanged(const std::string& path, const uint8_t* data, size_t size) {
  std::vector<uint8_t> now = readFile(path);
  if (now.size() != size || (size > 0 && !std::equal(now.begin(), now.end(), data)))
    fail("the input file was modified");
}

std::vector<uint8_t> smallMp3(int frames) {
  // FF FB 90 00: MPEG-1 layer III, no CRC, 128 kb/s, 44.1 kHz, no padding,
  // stereo: 144 * 128000 / 44100 = 417 bytes a frame.
  constexpr size_t kFrameBytes = 417;
  std::vector<uint8_t> out;
  for (int i = 0; i < frames; ++i) {
    size_t at = out.size();
    out.resize(at + kFrameBytes, 0);
    out[at] = 0xFF;
    out[at + 1] = 0xFB;
    out[at + 2] = 0x90;
    out[at + 3] = 0x00;
  }
  return out;
}

}  // namespace fuzz
