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

// Writes the picture of all series to path; false when it cannot be written.
bool writeSvg(const std::string& path, const std::vector<PlotSeries>& series);

}  // namespace report
