// The inputs of a batch: the .flv files under IN_DIR, each with the output
// prefix it is repaired to under OUT_DIR, and the shard it belongs to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace batch {

struct Input {
  std::string relative;  // from IN_DIR, '/' between folders
  std::string prefix;    // from OUT_DIR, '/' between folders: PREFIX of PREFIX.flv, PREFIX.mp3
};

// Every regular file under inDir whose name ends in ".flv" (any case),
// sorted by relative path, links to files followed, links to folders not
// (no loops). The folder `skip` (OUT_DIR, when it lies inside IN_DIR) and
// folders that cannot be read are passed over. False, with why set, when
// inDir itself cannot be read as a folder.
bool findInputs(const std::string& inDir, const std::string& skip, std::vector<Input>* inputs, std::string* why);

// Gives each input (sorted by relative path) its prefix: the relative path
// without ".flv", or, when an earlier input took that (one folder holding
// "a.flv" and "a.FLV", or a case-blind file system's "A.flv" and "a.flv"),
// the whole relative path, then that with "~2", "~3"... Prefixes are
// compared without regard to case, so that none share an output on any
// system.
void assignPrefixes(std::vector<Input>* inputs);

// The shard (0 to count - 1) of a relative path: its XXH64 modulo count.
uint64_t shardOf(const std::string& relative, uint64_t count);

}  // namespace batch
