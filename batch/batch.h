// tagmend-batch: repairs every .flv file under IN_DIR into the same
// relative path under OUT_DIR with the tagmend beside it, N at a time,
// measuring each before and after and writing a line per file to a
// manifest that a later run resumes from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace batch {

// Exit codes.
constexpr int kAllDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kBadArguments = 2;

constexpr const char* kUsage =
    "Usage: tagmend-batch [-j N] [--shard K/N] [--aac] [--speex] IN_DIR OUT_DIR\n";

struct Options {
  std::string inDir;
  std::string outDir;
  unsigned jobs = 0;  // 0: one per core
  uint64_t shard = 0;
  uint64_t shards = 0;  // 0: no --shard
  std::vector<std::string> tagmendOptions;  // passed on, in the order given
};

// Reads the arguments after the program name. False, with why set, when
// they are wrong: an option unknown to the batch and to tagmend, a -j
// without a count from 1 to 1024, a --shard that is not K/N with K below N,
// or other than two folders.
bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* why);

// The manifest's file name in OUT_DIR.
std::string manifestName(const Options& options);

// The whole run; returns the exit code. tagmend is the program to run per
// file.
int runBatch(const Options& options, const std::string& tagmend);

}  // namespace batch
