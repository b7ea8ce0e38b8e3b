// A stand-in for the converter in the Windows end-to-end tests: started by
// tagmend as tonecast.exe, it opens the job by the name on its command line,
// leaves a copy of the record and of its arguments for the test to read,
// marks progress, writes the MP3 it was asked for by copying a prepared one,
// and exits with the code the test chose.
//
// Environment (set by the test; tagmend passes its environment on):
//   TAGMEND_FAKE_DUMP  folder for job.bin (the 608 bytes) and args.txt
//   TAGMEND_FAKE_MP3   the MP3 file to copy to the job's outputPath
//   TAGMEND_FAKE_EXIT  exit code, 0 when unset
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/conversion_job.h"
#include "platform/shared_memory.h"

namespace {

// Exit codes of the stand-in's own failures, apart from any the test sets.
constexpr int kNoJob = 90;
constexpr int kNoDump = 91;
constexpr int kNoMp3 = 92;

bool writeFile(const std::string& path, const void* bytes, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

bool copyFile(const char* from, const char* to) {
  FILE* in = std::fopen(from, "rb");
  if (!in) return false;
  std::vector<char> bytes;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(in);
  return writeFile(to, bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 1) return kNoJob;
  auto memory = platform::openSharedMemory(argv[argc - 1], kJobSize);
  if (!memory || !memory->view()) return kNoJob;
  auto* job = static_cast<ConversionJob*>(memory->view());

  if (const char* dump = std::getenv("TAGMEND_FAKE_DUMP")) {
    std::string args;
    for (int i = 0; i < argc; ++i) args += std::string(argv[i]) + "\n";
    if (!writeFile(std::string(dump) + "\\job.bin", job, kJobSize) ||
        !writeFile(std::string(dump) + "\\args.txt", args.data(), args.size()))
      return kNoDump;
  }

  job->progress = 0.5;
  if (const char* mp3 = std::getenv("TAGMEND_FAKE_MP3")) {
    // The path fields may fill all 260 bytes; byte 260 ends them.
    std::string outputPath(job->outputPath, strnlen(job->outputPath, sizeof job->outputPath));
    if (!copyFile(mp3, outputPath.c_str())) return kNoMp3;
  }
  job->progress = 1.0;
  const char* code = std::getenv("TAGMEND_FAKE_EXIT");
  return code ? std::atoi(code) : 0;
}
