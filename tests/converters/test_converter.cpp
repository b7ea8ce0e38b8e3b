// A stand-in for the converter in the end-to-end tests, copied beside a copy
// of tagmend as tonecast.exe. It checks what tagmend hands it (its command
// line and every byte of the 608-byte job record), writes a known MP3 file
// where the job says, and reports what it saw.
//
// Environment (tagmend passes its own on):
//   TEST_CONVERTER_MODE    check (default): check, copy, exit 0 (2 when a check fails)
//                          fail: exit 1 after the checks
//                          slow: progress 0.5, 70 s pause, then as check
//                          stall: never set progress, sleep 300 s
//                          rotate: replace the input, as a recorder rotating its
//                            files does, with a new file holding its first half;
//                            then as check
//                          linger: as check, then a 2 s pause before exiting
//                          nothing: exit 0 after the checks, writing nothing
//                          garbage: as check, but the file written holds text
//   TEST_CONVERTER_REPORT  file to append "name <mapping name>" and "ok" or "bad <why>" to
//   TEST_JOB_PROGRAM       expected argv[0] (the converter's full path)
//   TEST_JOB_INPUT         expected inputPath, before the cut to 260 characters
//   TEST_JOB_OUTPUT        expected outputPath
//   TEST_JOB_INFO          expected "rate channels bits" (offsets 600, 536, 540)
//   TEST_JOB_MP3           MP3 file copied to outputPath
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "extract/conversion_job.h"
#include "platform/shared_memory.h"

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

void report(const std::string& line) {
  const std::string path = env("TEST_CONVERTER_REPORT");
  if (path.empty()) return;
  std::ofstream(path, std::ios::app) << line << "\n";
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

bool allZero(const uint8_t* job, int from, int to) {
  for (int i = from; i < to; ++i)
    if (job[i] != 0) return false;
  return true;
}

// A path field: the first 260 characters of expected, zero-padded to 260
// bytes, then the never-written zero.
bool pathFieldHolds(const uint8_t* field, const std::string& expected) {
  const std::string cut = expected.substr(0, 260);
  return std::memcmp(field, cut.data(), cut.size()) == 0 && allZero(field, static_cast<int>(cut.size()), 261);
}

std::string checkRecord(const uint8_t* job) {
  int rate = 0, channels = 0, bits = 0;
  std::istringstream(env("TEST_JOB_INFO")) >> rate >> channels >> bits;
  if (!pathFieldHolds(job, env("TEST_JOB_INPUT"))) return "inputPath";
  if (!pathFieldHolds(job + 261, env("TEST_JOB_OUTPUT"))) return "outputPath";
  if (!allZero(job, 522, 536)) return "reserved 522-535";
  if (le32(job + 536) != static_cast<uint32_t>(channels)) return "infoPair[0]";
  if (le32(job + 540) != static_cast<uint32_t>(bits)) return "infoPair[1]";
  if (!allZero(job, 544, 556)) return "progress or reservedWord";
  if (std::memcmp(job + 556, "mp3", 4) != 0) return "formatName";
  if (!allZero(job, 560, 588)) return "formatName tail";
  if (le32(job + 588) != 86017) return "codecId";
  if (le32(job + 592) != 128000) return "bitRate";
  if (le32(job + 596) != 44100) return "sampleRate";
  if (le32(job + 600) != static_cast<uint32_t>(rate)) return "infoWord";
  if (!allZero(job, 604, 608)) return "reserved 604-607";
  return "";
}

// tagmend's main thread names the job: on Linux its identifier is the pid.
std::string checkCommandLine(int argc, char** argv) {
  if (argc != 2) return "argument count " + std::to_string(argc);
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0 || std::string(self, static_cast<size_t>(n)) != argv[0]) return std::string("argv[0] ") + argv[0];
  if (!env("TEST_JOB_PROGRAM").empty() && env("TEST_JOB_PROGRAM") != argv[0]) return "program path";
  if (std::string(argv[1]) != "MY_TONECAST_MM_" + std::to_string(::getppid())) return std::string("name ") + argv[1];
  struct stat st;
  if (::stat((std::string("/dev/shm/") + argv[1]).c_str(), &st) != 0 || (st.st_mode & 0777) != 0600 ||
      st.st_size != 608)
    return "object mode or size";
  return "";
}

bool copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in.good() && out.good();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = env("TEST_CONVERTER_MODE");
  if (argc >= 2) report(std::string("name ") + argv[argc - 1]);
  std::string bad = checkCommandLine(argc, argv);
  auto memory = bad.empty() ? platform::openSharedMemory(argv[1], 608) : nullptr;
  if (bad.empty() && memory == nullptr) bad = "cannot open the job";
  const auto* job = memory ? static_cast<const uint8_t*>(memory->view()) : nullptr;
  if (bad.empty()) bad = checkRecord(job);
  if (!bad.empty()) {
    report("bad " + bad);
    return 2;
  }
  double* progress = reinterpret_cast<double*>(const_cast<uint8_t*>(job) + 544);
  if (mode == "fail" || mode == "nothing") {
    report("ok");
    return mode == "fail" ? 1 : 0;
  }
  if (mode == "stall") {
    report("ok");
    std::this_thread::sleep_for(std::chrono::seconds(300));
    return 0;
  }
  if (mode == "slow") {
    *static_cast<volatile double*>(progress) = 0.5;
    std::this_thread::sleep_for(std::chrono::seconds(70));
  }
  if (mode == "rotate") {
    const std::string input = env("TEST_JOB_INPUT");
    std::ifstream in(input, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(input + ".next", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    if (std::rename((input + ".next").c_str(), input.c_str()) != 0) {
      report("bad cannot rotate " + input);
      return 2;
    }
  }
  // As the converter does: written under its partial name, renamed when whole.
  const std::string output(reinterpret_cast<const char*>(job) + 261);
  const std::string partial = converterPartialPath(output, static_cast<uint32_t>(::getpid()));
  const bool written = mode == "garbage" ? static_cast<bool>(std::ofstream(partial) << "not an MP3\n")
                                         : copyFile(env("TEST_JOB_MP3"), partial);
  std::string target;
  if (!written || !platform::outputTarget(output.c_str(), &target) || std::rename(partial.c_str(), target.c_str()) != 0) {
    report("bad cannot write " + output);
    return 2;
  }
  report("ok");
  if (mode == "linger") std::this_thread::sleep_for(std::chrono::seconds(2));
  return 0;
}
