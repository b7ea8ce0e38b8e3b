#include "report/report_output.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

namespace report {

namespace {

std::string fixed(double v, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

std::string ticksAsMs(int64_t ticks) { return fixed(static_cast<double>(ticks) / 10000.0, 1); }

std::string orNull(bool known, const std::string& v) { return known ? v : "null"; }

}  // namespace

size_t utf8SequenceAt(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are no UTF-8.
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t length = utf8SequenceAt(s, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      // Control characters escaped; a byte that is not part of UTF-8 (a
      // file name in another encoding) as U+DC80..U+DCFF, the form Python's
      // "surrogateescape" reads back to the very byte: the JSON stays JSON
      // and the name's bytes are kept.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", length == 0 ? 0xDC00u + c : unsigned{c});
      out += escape;
    } else {
      out.append(s, i, length);
      i += length;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

void Table::add(const FileReport& r) {
  if (rows_.empty()) rows_.push_back({"FILE", "AUDIO", "DRIFT %", "MAX OFFSET", "GAPS", "EVENTS", "VERDICT"});
  std::string format = audioCodecName(r.soundFormat, r.audioFourCc);
  char drift[32] = "-";
  // Rounded to 0.000, a small negative drift reads +0.000, not -0.000.
  if (r.driftPercent) std::snprintf(drift, sizeof drift, "%+.3f", std::fabs(*r.driftPercent) < 5e-4 ? 0.0 : *r.driftPercent);
  std::string offset = r.maxAvOffsetMs ? std::to_string(*r.maxAvOffsetMs) + " ms" : "-";
  rows_.push_back({r.path, format.empty() ? "-" : format, drift, offset, std::to_string(r.gaps),
                   std::to_string(r.events.total), verdictName(r.verdict)});
}

void Table::print(std::FILE* out) const {
  if (rows_.empty()) return;
  std::vector<size_t> widths(rows_[0].size(), 0);
  for (const auto& row : rows_) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  // Names and words to the left, numbers to the right.
  for (const auto& row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      bool left = i == 0 || i == 1 || i + 1 == row.size();
      std::string pad(widths[i] - row[i].size(), ' ');
      if (i > 0) line += "  ";
      line += left ? row[i] + (i + 1 == row.size() ? "" : pad) : pad + row[i];
    }
    std::fprintf(out, "%s\n", line.c_str());
  }
}

void JsonArray::add(const FileReport& r) {
  std::FILE* o = out_;
  std::fputs(any_ ? ",\n" : "[\n", o);
  any_ = true;
  std::string format = audioCodecName(r.soundFormat, r.audioFourCc);
  std::string codec = videoCodecName(r.videoCodec);
  bool audio = r.soundFormat >= 0;
  bool measured = audio && r.lengthKnown;
  std::fprintf(o, "  {\"file\": %s,\n", jsonString(r.path).c_str());
  std::fprintf(o, "   \"audio\": {\"format\": %s, \"content_ms\": %s, \"stamped_ms\": %s, \"drift_percent\": %s, "
               "\"gaps\": %" PRIu64 ", \"gap_ms\": %s},\n",
               audio ? jsonString(format).c_str() : "null", orNull(measured, ticksAsMs(r.contentTicks)).c_str(),
               orNull(audio, ticksAsMs(r.stampedTicks)).c_str(),
               orNull(r.driftPercent.has_value(), fixed(r.driftPercent.value_or(0), 3)).c_str(), r.gaps,
               ticksAsMs(r.gapTicks).c_str());
  std::fprintf(o, "   \"video\": {\"codec\": %s, \"frames\": %" PRIu64 ", \"keyframes\": %" PRIu64 "},\n",
               r.videoCodec >= 0 ? jsonString(codec).c_str() : "null", r.frames, r.keyframes);
  std::fprintf(o, "   \"max_av_offset_ms\": %s,\n",
               orNull(r.maxAvOffsetMs.has_value(), std::to_string(r.maxAvOffsetMs.value_or(0))).c_str());
  std::fputs("   \"events\": [", o);
  for (size_t i = 0; i < r.events.kept.size(); ++i) {
    const Event& e = r.events.kept[i];
    std::fprintf(o, "%s{\"offset\": %" PRId64 ", \"ms\": %" PRId64 ", \"kind\": \"%s\"}", i ? ",\n      " : "\n      ",
                 e.offset, e.ms, eventKindName(e.kind));
  }
  std::fprintf(o, "%s],\n   \"events_total\": %" PRIu64 ",\n", r.events.kept.empty() ? "" : "\n   ", r.events.total);
  std::fprintf(o, "   \"metadata\": {\"present\": %s, \"duration_matches\": %s, \"keyframes_index\": %s},\n",
               r.metadataPresent ? "true" : "false", r.durationMatches ? "true" : "false",
               r.keyframesIndex ? "true" : "false");
  std::fprintf(o, "   \"verdict\": \"%s\", \"tagmend_exit\": %d}", verdictName(r.verdict), r.tagmendExit);
}

void JsonArray::close() { std::fputs(any_ ? "\n]\n" : "[]\n", out_); }

}  // namespace report
