#include "batch/manifest.h"

#include <cinttypes>
#include <cstdlib>
#include <fstream>

#include "report/report_output.h"

namespace batch {
namespace {

using report::jsonString;

std::string number(double v, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

std::string stringOrNull(const std::string& s) { return s.empty() ? "null" : jsonString(s); }

std::string measureJson(const Measure& m, bool withFile) {
  std::string out = "{";
  if (withFile) out += "\"file\":" + jsonString(m.file) + ",";
  out += "\"verdict\":" + stringOrNull(m.verdict);
  out += ",\"audio\":" + stringOrNull(m.audio);
  out += ",\"drift_percent\":" + (m.driftPercent ? number(*m.driftPercent, 3) : std::string("null"));
  out += ",\"max_av_offset_ms\":" + (m.maxAvOffsetMs ? std::to_string(*m.maxAvOffsetMs) : std::string("null"));
  if (!m.error.empty()) out += ",\"error\":" + jsonString(m.error);
  return out + "}";
}

// ---- Reading -------------------------------------------------------------

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool document(Json* out) {
    if (!value(out, 0)) return false;
    space();
    return i_ == s_.size();
  }

 private:
  static constexpr int kMaxDepth = 16;

  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
  }
  bool literal(const char* word) {
    const size_t n = std::char_traits<char>::length(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }

  bool value(Json* out, int depth) {
    if (depth > kMaxDepth) return false;
    space();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out->kind = Json::Kind::kString;
      return string(&out->text);
    }
    if (literal("null")) {
      out->kind = Json::Kind::kNull;
      return true;
    }
    if (literal("true") || literal("false")) {
      out->kind = Json::Kind::kBool;
      out->boolean = s_[i_ - 1] == 'e' && s_[i_ - 2] == 'u';
      return true;
    }
    return numberValue(out);
  }

  bool numberValue(Json* out) {
    const size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    bool digits = false;
    while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.' || s_[i_] == 'e' ||
                              s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-')) {
      digits = true;
      ++i_;
    }
    if (!digits || i_ - start > 40) return false;
    out->kind = Json::Kind::kNumber;
    out->text = s_.substr(start, i_ - start);
    char* end = nullptr;
    out->number = std::strtod(out->text.c_str(), &end);
    return end == out->text.c_str() + out->text.size();
  }

  bool string(std::string* out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          if (s_.size() - i_ < 4) return false;
          unsigned code = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = s_[i_++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f') code |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= unsigned(h - 'A' + 10);
            else return false;
          }
          // UTF-8 of the code unit (the writer escapes control characters only).
          if (code < 0x80) {
            *out += static_cast<char>(code);
          } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool array(Json* out, int depth) {
    out->kind = Json::Kind::kArray;
    ++i_;
    space();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    while (true) {
      out->items.emplace_back();
      if (!value(&out->items.back(), depth + 1)) return false;
      space();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == ']') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }

  bool object(Json* out, int depth) {
    out->kind = Json::Kind::kObject;
    ++i_;
    space();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    while (true) {
      space();
      if (i_ >= s_.size() || s_[i_] != '"') return false;
      std::string key;
      if (!string(&key)) return false;
      space();
      if (i_ >= s_.size() || s_[i_++] != ':') return false;
      out->members.emplace_back(std::move(key), Json{});
      if (!value(&out->members.back().second, depth + 1)) return false;
      space();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == '}') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }

  const std::string& s_;
  size_t i_ = 0;
};

// An integer written as one (no fraction, no exponent), within int64_t.
bool integer(const Json* j, int64_t* out) {
  if (!j || j->kind != Json::Kind::kNumber || j->text.empty() || j->text.size() > 19) return false;
  for (size_t k = j->text[0] == '-' ? 1 : 0; k < j->text.size(); ++k) {
    if (j->text[k] < '0' || j->text[k] > '9') return false;
  }
  *out = std::strtoll(j->text.c_str(), nullptr, 10);
  return true;
}

bool text(const Json* j, std::string* out) {
  if (!j || j->kind != Json::Kind::kString) return false;
  *out = j->text;
  return true;
}

}  // namespace

const Json* Json::get(const std::string& key) const {
  for (const auto& [name, value] : members) {
    if (name == key) return &value;
  }
  return nullptr;
}

bool parseJson(const std::string& text, Json* out) { return Parser(text).document(out); }

std::string recordLine(const Record& r) {
  std::string line = "{\"input\":" + jsonString(r.input);
  line += ",\"size\":" + std::to_string(r.size);
  line += ",\"hash\":" + stringOrNull(r.hash);
  line += ",\"before\":" + measureJson(r.before, false);
  line += ",\"tagmend_exit\":" + std::to_string(r.tagmendExit);
  line += ",\"outputs\":[";
  for (size_t i = 0; i < r.outputs.size(); ++i) {
    if (i) line += ",";
    line += "{\"file\":" + jsonString(r.outputs[i].file) + ",\"size\":" + std::to_string(r.outputs[i].size) + "}";
  }
  line += "],\"after\":" + (r.after ? measureJson(*r.after, true) : std::string("null"));
  line += ",\"status\":" + std::string(r.done ? "\"done\"" : "\"failed\"");
  line += ",\"seconds\":" + number(r.seconds, 3);
  return line + "}\n";
}

bool parseRecordLine(const std::string& line, Record* r) {
  Json j;
  if (!parseJson(line, &j) || j.kind != Json::Kind::kObject) return false;
  std::string status;
  int64_t exitCode = 0;
  if (!text(j.get("input"), &r->input) || !integer(j.get("size"), &r->size) || !text(j.get("status"), &status) ||
      !integer(j.get("tagmend_exit"), &exitCode))
    return false;
  text(j.get("hash"), &r->hash);
  r->done = status == "done";
  r->tagmendExit = static_cast<int>(exitCode);
  const Json* outputs = j.get("outputs");
  if (!outputs || outputs->kind != Json::Kind::kArray) return false;
  for (const Json& o : outputs->items) {
    OutputFile file;
    if (!text(o.get("file"), &file.file) || !integer(o.get("size"), &file.size)) return false;
    r->outputs.push_back(file);
  }
  const Json* seconds = j.get("seconds");
  if (seconds && seconds->kind == Json::Kind::kNumber) r->seconds = seconds->number;
  return true;
}

std::map<std::string, Record> readManifests(const std::vector<std::string>& paths) {
  std::map<std::string, Record> records;
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      Record r;
      if (parseRecordLine(line, &r)) records[r.input] = std::move(r);
    }
  }
  return records;
}

ManifestWriter::~ManifestWriter() {
  if (file_) std::fclose(file_);
}

bool ManifestWriter::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "ab+");
  if (!file_) return false;
  // A line cut short by a crash gets its end, so that it is one bad line,
  // not the start of the next good one.
  if (std::fseek(file_, -1, SEEK_END) == 0) {
    const int last = std::fgetc(file_);
    std::fseek(file_, 0, SEEK_END);
    if (last != '\n' && last != EOF && (std::fputc('\n', file_) == EOF || std::fflush(file_) != 0)) return false;
  }
  return true;
}

bool ManifestWriter::append(const Record& r) {
  const std::string line = recordLine(r);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return false;
  return std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0;
}

}  // namespace batch
