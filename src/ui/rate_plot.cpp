#include "ui/rate_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "engines/configuration.h"
#include "platform/text.h"

namespace {

constexpr double kWidth = 800;
constexpr double kHeight = 450;
constexpr double kLeft = 80;    // room for the rate labels
constexpr double kRight = 180;  // room for the legend
constexpr double kTop = 40;
constexpr double kBottom = 60;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;

constexpr int kTimeTicks = 8;
constexpr int kRateTicks = 6;

constexpr const char* kDirectionColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd"};
constexpr const char* kTheoreticalColour = "#d62728";

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// Rates in labels as the tool prints them everywhere: one decimal.
std::string Rate(double mbps) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f Mb/s", mbps);
  return text;
}

// Tick labels without trailing zeros: 0, 0.5, 250, 1000.
std::string TickLabel(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters other than tab, line feed and carriage return are not
        // allowed in XML at all.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += c;
    }
  }
  return out;
}

bool Usable(const RateSample& sample) {
  return std::isfinite(sample.Seconds) && std::isfinite(sample.Mbps) && sample.Seconds >= 0.0;
}

bool Usable(double rate) {
  return std::isfinite(rate) && rate > 0.0;
}

class Plot {
 public:
  Plot(double maxSeconds, double maxMbps)
      : timeTicks_(AxisTicks(maxSeconds, kTimeTicks)), rateTicks_(AxisTicks(maxMbps, kRateTicks)) {}

  double X(double seconds) const { return kLeft + seconds / timeTicks_.back() * kPlotWidth; }
  // Rates below 0 are drawn on the axis rather than outside the frame.
  double Y(double mbps) const {
    return kTop + kPlotHeight - std::max(mbps, 0.0) / rateTicks_.back() * kPlotHeight;
  }
  const std::vector<double>& TimeTicks() const { return timeTicks_; }
  const std::vector<double>& RateTicks() const { return rateTicks_; }

 private:
  std::vector<double> timeTicks_;
  std::vector<double> rateTicks_;
};

std::string Title(const RunReport& report) {
  std::string title = "Tarnwick " + Utf16ToUtf8(report.Test);
  if (!report.Mode.empty()) title += " (" + Utf16ToUtf8(report.Mode) + ")";
  if (!report.Plug.empty()) title += ", " + Utf16ToUtf8(report.Plug);
  if (report.Speed >= TestConfigRecord::FullSpeed && report.Speed <= TestConfigRecord::SuperSpeed)
    title += ", " + Utf16ToUtf8(ConnectionTypeNames[report.Speed]);
  title += report.Passed ? " - PASS" : " - FAIL";
  return title;
}

void HorizontalLine(std::string& svg, const Plot& plot, double mbps, const char* colour,
                    const char* dashes, const std::string& label) {
  const std::string y = Number(plot.Y(mbps));
  svg += "<line class=\"level\" x1=\"" + Number(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
         Number(kLeft + kPlotWidth) + "\" y2=\"" + y + "\" stroke=\"" + colour +
         "\" stroke-width=\"1.5\" stroke-dasharray=\"" + dashes + "\"/>\n";
  svg += "<text x=\"" + Number(kLeft + kPlotWidth - 4) + "\" y=\"" + Number(plot.Y(mbps) - 4) +
         "\" text-anchor=\"end\" fill=\"" + colour + "\">" + Escaped(label) + "</text>\n";
}

}  // namespace

std::vector<double> AxisTicks(double maximum, int wanted) {
  if (!std::isfinite(maximum) || maximum <= 0.0) maximum = 1.0;
  wanted = std::max(wanted, 2);
  const double rough = maximum / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power * 10.0;
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) {
      step = factor * power;
      break;
    }
  }
  std::vector<double> ticks;
  const int count = static_cast<int>(std::ceil(maximum / step - 1e-9));
  for (int i = 0; i <= count; ++i) ticks.push_back(i * step);
  return ticks;
}

std::string RatePlotSvg(const RunReport& report) {
  double maxSeconds = 0.0;
  double maxMbps = 0.0;
  for (const DirectionRates& direction : report.Directions) {
    for (const RateSample& sample : direction.Series) {
      if (!Usable(sample)) continue;
      maxSeconds = std::max(maxSeconds, sample.Seconds);
      maxMbps = std::max(maxMbps, sample.Mbps);
    }
    if (Usable(direction.AverageMbps)) maxMbps = std::max(maxMbps, direction.AverageMbps);
  }
  if (Usable(report.TheoreticalMaxMbps)) maxMbps = std::max(maxMbps, report.TheoreticalMaxMbps);
  const Plot plot(maxSeconds, maxMbps);

  std::string svg;
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) + "\" height=\"" +
         Number(kHeight) + "\" viewBox=\"0 0 " + Number(kWidth) + " " + Number(kHeight) +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  svg += "<title>" + Escaped(Title(report)) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"24\" font-size=\"14\" font-weight=\"bold\">" +
         Escaped(Title(report)) + "</text>\n";

  // Grid and tick labels.
  for (const double tick : plot.RateTicks()) {
    const std::string y = Number(plot.Y(tick));
    svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
           Number(kLeft + kPlotWidth) + "\" y2=\"" + y + "\" stroke=\"#dddddd\"/>\n";
    svg += "<text class=\"rate-tick\" x=\"" + Number(kLeft - 6) + "\" y=\"" + y +
           "\" text-anchor=\"end\" dominant-baseline=\"middle\">" + TickLabel(tick) + "</text>\n";
  }
  for (const double tick : plot.TimeTicks()) {
    const std::string x = Number(plot.X(tick));
    svg += "<line x1=\"" + x + "\" y1=\"" + Number(kTop) + "\" x2=\"" + x + "\" y2=\"" +
           Number(kTop + kPlotHeight) + "\" stroke=\"#dddddd\"/>\n";
    svg += "<text class=\"time-tick\" x=\"" + x + "\" y=\"" + Number(kTop + kPlotHeight + 18) +
           "\" text-anchor=\"middle\">" + TickLabel(tick) + "</text>\n";
  }
  svg += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop) + "\" width=\"" +
         Number(kPlotWidth) + "\" height=\"" + Number(kPlotHeight) +
         "\" fill=\"none\" stroke=\"black\"/>\n";
  svg += "<text class=\"axis-label\" x=\"" + Number(kLeft + kPlotWidth / 2) + "\" y=\"" +
         Number(kHeight - 16) + "\" text-anchor=\"middle\">Time (s)</text>\n";
  svg += "<text class=\"axis-label\" x=\"20\" y=\"" + Number(kTop + kPlotHeight / 2) +
         "\" text-anchor=\"middle\" transform=\"rotate(-90 20 " + Number(kTop + kPlotHeight / 2) +
         ")\">Rate (Mb/s)</text>\n";

  if (Usable(report.TheoreticalMaxMbps)) {
    HorizontalLine(svg, plot, report.TheoreticalMaxMbps, kTheoreticalColour, "8 4",
                   "Theoretical maximum " + Rate(report.TheoreticalMaxMbps));
  }

  size_t samples = 0;
  double legendY = kTop + 10;
  for (size_t i = 0; i < report.Directions.size(); ++i) {
    const DirectionRates& direction = report.Directions[i];
    const char* colour = kDirectionColours[i % std::size(kDirectionColours)];
    const std::string name = Utf16ToUtf8(direction.Name);
    std::string points;
    size_t count = 0;
    for (const RateSample& sample : direction.Series) {
      if (!Usable(sample)) continue;
      if (!points.empty()) points += ' ';
      points += Number(plot.X(sample.Seconds)) + "," + Number(plot.Y(sample.Mbps));
      ++count;
    }
    samples += count;
    if (count > 0) {
      svg += "<polyline class=\"rate\" data-direction=\"" + Escaped(name) + "\" points=\"" +
             points + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1.5\"/>\n";
    }
    if (count == 1) {
      // A line of one point shows nothing; mark the point itself.
      const size_t comma = points.find(',');
      svg += "<circle cx=\"" + points.substr(0, comma) + "\" cy=\"" + points.substr(comma + 1) +
             "\" r=\"3\" fill=\"" + colour + "\"/>\n";
    }
    if (Usable(direction.AverageMbps)) {
      HorizontalLine(svg, plot, direction.AverageMbps, colour, "3 3",
                     name + " average " + Rate(direction.AverageMbps));
    }
    const std::string y = Number(legendY);
    svg += "<line x1=\"" + Number(kWidth - kRight + 12) + "\" y1=\"" + y + "\" x2=\"" +
           Number(kWidth - kRight + 36) + "\" y2=\"" + y + "\" stroke=\"" + colour +
           "\" stroke-width=\"3\"/>\n";
    svg += "<text class=\"legend\" x=\"" + Number(kWidth - kRight + 42) + "\" y=\"" +
           Number(legendY + 4) + "\">" + Escaped(name) + "</text>\n";
    legendY += 20;
  }
  if (samples == 0) {
    svg += "<text x=\"" + Number(kLeft + kPlotWidth / 2) + "\" y=\"" +
           Number(kTop + kPlotHeight / 2) +
           "\" text-anchor=\"middle\" fill=\"#888888\">No rate samples</text>\n";
  }
  svg += "</svg>\n";
  return svg;
}
