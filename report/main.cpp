// tagmend-report [--json] [--svg FILE] FILE...
// How far each recording's audio stamps have drifted from the audio itself,
// what tagmend would do about it, and whether its metadata holds.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libs/quennet/quennet.h"
#include "report/drift_scan.h"
#include "report/report_output.h"
#include "report/svg_plot.h"

namespace {

constexpr const char* kUsage = "Usage: tagmend-report [--json] [--svg FILE] FILE...\n";

// Exit codes: every file ok; some file needs a repair or cannot have one;
// some file cannot be read as FLV (or the arguments or the picture failed).
constexpr int kAllOk = 0;
constexpr int kSomeNotOk = 1;
constexpr int kSomeUnreadable = 2;

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  const char* svgPath = nullptr;
  std::vector<std::string> files;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    if (!optionsDone && std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (!optionsDone && std::strcmp(argv[i], "--svg") == 0 && i + 1 < argc) {
      svgPath = argv[++i];
    } else if (!optionsDone && std::strcmp(argv[i], "--") == 0) {
      optionsDone = true;
    } else if (!optionsDone && argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "tagmend-report: unknown option %s\n%s", argv[i], kUsage);
      return kSomeUnreadable;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fputs(kUsage, stderr);
    return kSomeUnreadable;
  }

  Quennet_init();
  int exitCode = kAllOk;
  report::Table table;
  report::JsonArray array(stdout);
  std::vector<report::PlotSeries> series;
  for (const std::string& path : files) {
    report::FileReport r = report::scanFile(path);
    if (!r.error.empty()) {
      std::fprintf(stderr, "tagmend-report: %s %s\n", path.c_str(), r.error.c_str());
      exitCode = kSomeUnreadable;
      continue;
    }
    if (r.verdict != report::Verdict::kOk && exitCode == kAllOk) exitCode = kSomeNotOk;
    if (json) {
      array.add(r);
    } else {
      table.add(r);
    }
    if (svgPath) series.push_back({path, r.driftPercent, std::move(r.curve.points), std::move(r.curve.marks)});
  }
  if (json) {
    array.close();
  } else {
    table.print(stdout);
  }
  if (svgPath && !report::writeSvg(svgPath, series)) {
    std::fprintf(stderr, "tagmend-report: %s cannot be written\n", svgPath);
    exitCode = kSomeUnreadable;
  }
  return std::fflush(stdout) == 0 ? exitCode : kSomeUnreadable;
}
