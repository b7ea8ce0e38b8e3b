#include "report/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/file.h"
#include "platform/process.h"
#include "report/report_output.h"

namespace report {

namespace {

constexpr double kWidth = 1000;
constexpr double kLeft = 100, kRight = 970, kTop = 60, kBottom = 470;
constexpr double kLegendTop = 540, kLegendRow = 26;
constexpr const char* kColours[] = {"#1f6fb4", "#d62728", "#2a9d2a", "#e07b00", "#8e5bbf",
                                    "#8c564b", "#d6449c", "#129faf", "#555555", "#9a9a10"};
constexpr size_t kColourCount = sizeof kColours / sizeof kColours[0];

// Text for the picture: markup escaped; a control character (which XML 1.0
// cannot hold, even as a reference) or a byte that is not part of UTF-8
// shown as U+FFFD, the replacement character. The JSON keeps the bytes.
std::string xml(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t length = utf8SequenceAt(s, i);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (length == 0 || c < 0x20 || c == 0x7F) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(s, i, length);
          i += length;
          continue;
        }
    }
    ++i;
  }
  return out;
}

// A round step (1, 2 or 5 times a power of ten) giving about `count` ticks.
double niceStep(double span, int count) {
  double raw = span / count;
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

std::string number(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", std::fabs(v) < 1e-9 ? 0.0 : v);
  return buffer;
}

struct Axes {
  double xMax = 1;  // seconds
  double yMin = -10, yMax = 10;  // ms
  double x(double seconds) const { return kLeft + seconds / xMax * (kRight - kLeft); }
  double y(double ms) const { return kBottom - (ms - yMin) / (yMax - yMin) * (kBottom - kTop); }
};

Axes axesFor(const std::vector<PlotSeries>& series) {
  double xMax = 0, lo = 0, hi = 0;
  for (const PlotSeries& s : series) {
    for (const auto& p : s.points) {
      xMax = std::max(xMax, double(p.realMs) / 1000.0);
      lo = std::min(lo, double(p.offsetMs));
      hi = std::max(hi, double(p.offsetMs));
    }
  }
  Axes a;
  a.xMax = xMax > 0 ? xMax : 1;
  double pad = std::max((hi - lo) * 0.08, 5.0);
  a.yMin = lo - pad;
  a.yMax = hi + pad;
  return a;
}

void grid(std::FILE* f, const Axes& a) {
  std::fprintf(f, "<g font-family=\"sans-serif\" font-size=\"15\" fill=\"#222\">\n");
  double xs = niceStep(a.xMax, 10);
  for (double v = 0; v <= a.xMax + xs * 1e-6; v += xs) {
    std::fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", a.x(v), kTop, a.x(v), kBottom);
    std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", a.x(v), kBottom + 22, number(v).c_str());
  }
  double ys = niceStep(a.yMax - a.yMin, 8);
  for (double v = std::ceil(a.yMin / ys) * ys; v <= a.yMax; v += ys) {
    const char* colour = std::fabs(v) < ys * 1e-6 ? "#888" : "#ddd";
    std::fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n", kLeft, a.y(v), kRight, a.y(v), colour);
    std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kLeft - 8, a.y(v) + 5, number(v).c_str());
  }
  std::fprintf(f, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#444\"/>\n", kLeft, kTop,
               kRight - kLeft, kBottom - kTop);
  std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"17\">real time of the audio (s)</text>\n",
               (kLeft + kRight) / 2, kBottom + 50);
  std::fprintf(f, "<text transform=\"translate(30 %.1f) rotate(-90)\" text-anchor=\"middle\" font-size=\"17\">"
               "audio stamps minus real time (ms)</text>\n", (kTop + kBottom) / 2);
  std::fprintf(f, "<text x=\"%.1f\" y=\"34\" text-anchor=\"middle\" font-size=\"20\">"
               "How far the audio stamps drift from the audio itself</text>\n", kWidth / 2);
  std::fputs("</g>\n", f);
}

void gapMark(std::FILE* f, double x, double y, const char* colour) {
  std::fprintf(f, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"6\" fill=\"white\" stroke=\"%s\" stroke-width=\"2.5\"/>\n", x, y, colour);
}
void jumpMark(std::FILE* f, double x, double y, const char* colour) {
  std::fprintf(f, "<path d=\"M%.1f %.1fl12 12m0 -12l-12 12\" stroke=\"%s\" stroke-width=\"3\"/>\n", x - 6, y - 6, colour);
}

void curve(std::FILE* f, const Axes& a, const PlotSeries& s, size_t index) {
  const char* colour = kColours[index % kColourCount];
  const char* dash = index / kColourCount % 2 ? " stroke-dasharray=\"8 4\"" : "";
  if (!s.points.empty()) {
    std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" stroke-linejoin=\"round\"%s points=\"", colour, dash);
    for (const auto& p : s.points) std::fprintf(f, "%.1f,%.1f ", a.x(p.realMs / 1000.0), a.y(p.offsetMs));
    std::fputs("\"/>\n", f);
  }
  for (const auto& m : s.marks) {
    double x = a.x(m.realMs / 1000.0), y = std::clamp(a.y(m.offsetMs), kTop, kBottom);
    m.gap ? gapMark(f, x, y, colour) : jumpMark(f, x, y, colour);
  }
}

void legend(std::FILE* f, const std::vector<PlotSeries>& series) {
  std::fprintf(f, "<g font-family=\"sans-serif\" font-size=\"16\" fill=\"#222\">\n");
  double y = kLegendTop;
  gapMark(f, kLeft + 10, y - 5, "#444");
  std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\">gap in the audio</text>\n", kLeft + 26, y);
  jumpMark(f, kLeft + 230, y - 5, "#444");
  std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\">stamp jump, wrap or negative time</text>\n", kLeft + 246, y);
  for (size_t i = 0; i < series.size(); ++i) {
    y += kLegendRow;
    const char* dash = i / kColourCount % 2 ? " stroke-dasharray=\"8 4\"" : "";
    std::fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"4\"%s/>\n", kLeft,
                 y - 5, kLeft + 40, y - 5, kColours[i % kColourCount], dash);
    std::string drift = "no measure";
    if (series[i].driftPercent) {
      char buffer[48];
      double d = *series[i].driftPercent;
      std::snprintf(buffer, sizeof buffer, "drift %+.3f %%", std::fabs(d) < 5e-4 ? 0.0 : d);
      drift = buffer;
    }
    std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\">%s (%s)</text>\n", kLeft + 52, y, xml(series[i].name).c_str(),
                 drift.c_str());
  }
  std::fputs("</g>\n", f);
}

bool writePicture(const std::string& path, const std::vector<PlotSeries>& series) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) return false;
  std::FILE* f = file.get();
  double height = kLegendTop + kLegendRow * double(series.size()) + 24;
  std::fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
               kWidth, height, kWidth, height);
  std::fprintf(f, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
  Axes a = axesFor(series);
  grid(f, a);
  for (size_t i = 0; i < series.size(); ++i) curve(f, a, series[i], i);
  legend(f, series);
  std::fputs("</svg>\n", f);
  bool written = std::ferror(f) == 0;
  return std::fclose(file.release()) == 0 && written;
}

// True when the file at path starts as an SVG picture (an XML declaration
// or an <svg> element, after blanks), or is empty: one this program may
// replace. A recording, or any other file, is never replaced by a picture.
bool looksLikeSvg(const std::string& path) {
  platform::File file;
  if (!file.open(path.c_str(), platform::File::Mode::kRead)) return false;
  char head[512];
  const int64_t n = file.read(head, sizeof head);
  if (n < 0) return false;
  size_t i = 0;
  if (n >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0) i = 3;  // UTF-8 byte order mark
  while (i < size_t(n) && head[i] != 0 && std::strchr(" \t\r\n", head[i])) ++i;
  const std::string start(head + i, size_t(n) - i);
  return start.empty() || start.rfind("<?xml", 0) == 0 || start.rfind("<svg", 0) == 0;
}

}  // namespace

bool svgReplaceable(const std::string& path) {
  std::string target;
  if (!platform::outputTarget(path.c_str(), &target)) return false;
  return !platform::fileExists(target.c_str()) || looksLikeSvg(target);
}

bool writeSvg(const std::string& path, const std::vector<PlotSeries>& series) {
  // Written beside the file it replaces and renamed over it when whole: a
  // failed write never leaves half a picture, nor takes the old one.
  std::string target;
  if (!platform::outputTarget(path.c_str(), &target) || !svgReplaceable(target)) return false;
  const std::string staging = platform::folderOf(target.c_str()) + ".tagmend-report-" +
                              std::to_string(platform::currentProcessId()) + ".svg.part";
  if (platform::fileExists(staging.c_str())) platform::removeFile(staging.c_str());
  if (writePicture(staging, series) && platform::replaceFile(staging.c_str(), target.c_str())) return true;
  platform::removeFile(staging.c_str());
  return false;
}

}  // namespace report
