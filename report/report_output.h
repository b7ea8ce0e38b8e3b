// The report's two forms on standard output: an aligned table for people
// and a JSON array for scripts.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "report/drift_scan.h"

namespace report {

// Rows gathered file by file, printed with their columns aligned.
class Table {
 public:
  void add(const FileReport& r);
  void print(std::FILE* out) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

// One JSON object per report, written as each file is done, inside one array.
class JsonArray {
 public:
  explicit JsonArray(std::FILE* out) : out_(out) {}
  void add(const FileReport& r);
  void close();

 private:
  std::FILE* out_;
  bool any_ = false;
};

std::string jsonString(const std::string& s);

// The length of the well-formed UTF-8 sequence that starts at s[i] (1 for
// ASCII), or 0 when none does there.
size_t utf8SequenceAt(const std::string& s, size_t i);

}  // namespace report
