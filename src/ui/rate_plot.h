// A picture of a run: the rate over time of each direction, with its average and the
// speed's theoretical maximum as lines, written as a plain SVG document.
#pragma once
#include <string>
#include <vector>

#include "ui/run_report.h"

// Axis ticks: round steps (1, 2 or 5 times a power of ten) from 0 up to at least
// `maximum`, about `wanted` of them. A maximum of 0 or less, or one that is not
// finite, gives the ticks of 0 to 1.
std::vector<double> AxisTicks(double maximum, int wanted);

// The SVG document (UTF-8). Samples that are not finite, or lie before the start, are
// left out; a direction without samples still gets its legend entry.
std::string RatePlotSvg(const RunReport& report);
