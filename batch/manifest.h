// The batch's manifest: one JSON object per line for each input handled,
// appended as the input is finished and flushed at once, so that a run
// stopped at any point loses at most the line being written. A later run
// reads the lines back to skip what is done.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace batch {

// What the report's scan said of one file.
struct Measure {
  std::string file;     // relative path (of an output; empty for the input)
  std::string verdict;  // empty when the file could not be read as FLV
  std::string audio;    // sound format's name, empty without audio
  std::optional<double> driftPercent;
  std::optional<int64_t> maxAvOffsetMs;
  std::string error;    // why it could not be read
};

struct OutputFile {
  std::string file;  // relative to OUT_DIR, '/' between folders
  int64_t size = 0;
};

struct Record {
  std::string input;  // relative to IN_DIR, '/' between folders
  int64_t size = 0;
  std::string hash;   // hashText()
  Measure before;
  int tagmendExit = -1;
  std::vector<OutputFile> outputs;
  std::optional<Measure> after;  // of PREFIX.flv, when tagmend wrote one
  bool done = false;             // tagmend ended with 0, or 7 (no audio: nothing to do)
  double seconds = 0;
};

// The record as one line of JSON, newline included.
std::string recordLine(const Record& r);
// Reads a line that recordLine() wrote; false for anything else (a line cut
// short by a crash, say). Only the fields a resumed run needs must be there.
bool parseRecordLine(const std::string& line, Record* r);

// The last record of each input found in the manifest files given, read in
// the order given (later lines win). Files that are missing are skipped.
std::map<std::string, Record> readManifests(const std::vector<std::string>& paths);

// The manifest being written: lines appended whole and flushed, one thread
// at a time.
class ManifestWriter {
 public:
  ~ManifestWriter();
  // Opens path for appending; a last line that a crash cut short is ended
  // first so that the next line stands on its own. False on failure.
  bool open(const std::string& path);
  bool append(const Record& r);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

// A minimal JSON reader, for the manifest's own lines: bounded depth, every
// read checked against the end of the text.
struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value, or a number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;
  const Json* get(const std::string& key) const;
};
bool parseJson(const std::string& text, Json* out);

}  // namespace batch
