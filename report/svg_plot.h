// The drift picture: for every file, how far its audio stamps stand from
// the audio's real time, against that time. Plain SVG: no scripts, generic
// font families only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/drift_scan.h"

namespace report {

struct PlotSeries {
  std::string name;
  std::optional<double> driftPercent;
  std::vector<DriftCurve::Point> points;
  std::vector<DriftCurve::Mark> marks;
};

// True when an SVG may be written at path: nothing is there, or a file
// that starts as SVG (or is empty), links followed; never a recording.
bool svgReplaceable(const std::string& path);

// Writes the picture of all series to path, staged beside it and renamed
// over it when whole; false when it cannot be written or what is at path
// is not a picture (svgReplaceable), which then stays as it was.
bool writeSvg(const std::string& path, const std::vector<PlotSeries>& series);

}  // namespace report
