#include "ui/rate_plot.h"

#include <gtest/gtest.h>

#include <QXmlStreamReader>
#include <cmath>
#include <limits>
#include <map>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What a reader of the picture sees: its elements, in order, with their attributes
// and text; empty when the document is not well-formed XML.
struct Element {
  std::string Name;
  std::map<std::string, std::string> attributes;
  std::string text;
};

std::vector<Element> Parse(const std::string& svg) {
  QXmlStreamReader reader(QByteArray::fromStdString(svg));
  std::vector<Element> elements;
  std::vector<size_t> open;
  while (!reader.atEnd()) {
    reader.readNext();
    if (reader.isStartElement()) {
      Element element{reader.name().toString().toStdString(), {}, {}};
      for (const QXmlStreamAttribute& attribute : reader.attributes())
        element.attributes[attribute.name().toString().toStdString()] =
            attribute.value().toString().toStdString();
      open.push_back(elements.size());
      elements.push_back(std::move(element));
    } else if (reader.isEndElement()) {
      open.pop_back();
    } else if (reader.isCharacters() && !open.empty()) {
      elements[open.back()].text += reader.text().toString().toStdString();
    }
  }
  EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString() << "\n" << svg;
  if (reader.hasError()) return {};
  EXPECT_EQ(elements.at(0).Name, "svg");
  return elements;
}

std::vector<const Element*> All(const std::vector<Element>& elements, const std::string& name,
                                const std::string& cls = "") {
  std::vector<const Element*> found;
  for (const Element& e : elements) {
    if (e.Name == name &&
        (cls.empty() || (e.attributes.count("class") && e.attributes.at("class") == cls)))
      found.push_back(&e);
  }
  return found;
}

double Attr(const Element* e, const char* name) {
  return std::stod(e->attributes.at(name));
}

// The rate axis as drawn: y of a rate, from the first and last tick labels.
struct RateAxis {
  double y0, yTop, top;
  double RateAt(double y) const { return (y0 - y) / (y0 - yTop) * top; }
};
RateAxis AxisOf(const std::vector<Element>& elements) {
  const auto ticks = All(elements, "text", "rate-tick");
  EXPECT_GE(ticks.size(), 2u);
  return {Attr(ticks.front(), "y"), Attr(ticks.back(), "y"), std::stod(ticks.back()->text)};
}

RunReport TwoDirections() {
  RunReport report;
  report.Test = u"benchmark";
  report.Mode = u"Read and Write";
  report.Plug = u"<SIM&\"0001\">";
  report.Speed = 3;
  report.TheoreticalMaxMbps = 3880.0;
  report.Directions = {
      {u"read", 3500, 2000, 3000, 0, {{0.5, 2000}, {1.0, 3500}, {1.5, kNaN}, {2.0, 3200}}},
      {u"write", 2600, 2400, 2500, 0, {{0.4, 2400}, {-1.0, 9999}, {1.9, 2600}}},
  };
  return report;
}

TEST(RatePlotTest, OneLinePerDirectionWithItsSamplesWhereTheAxesSay) {
  const RunReport report = TwoDirections();
  const auto elements = Parse(RatePlotSvg(report));
  ASSERT_FALSE(elements.empty());
  const auto lines = All(elements, "polyline", "rate");
  ASSERT_EQ(lines.size(), 2u);
  const RateAxis axis = AxisOf(elements);
  const auto timeTicks = All(elements, "text", "time-tick");
  ASSERT_GE(timeTicks.size(), 2u);
  const double x0 = Attr(timeTicks.front(), "x");
  const double secondsPerPixel =
      std::stod(timeTicks.back()->text) / (Attr(timeTicks.back(), "x") - x0);
  // Samples that are not finite or lie before the start are left out.
  const std::vector<std::vector<RateSample>> expected = {{{0.5, 2000}, {1.0, 3500}, {2.0, 3200}},
                                                         {{0.4, 2400}, {1.9, 2600}}};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]->attributes.at("data-direction"), i == 0 ? "read" : "write");
    std::istringstream points(lines[i]->attributes.at("points"));
    std::string point;
    size_t n = 0;
    while (points >> point) {
      ASSERT_LT(n, expected[i].size());
      const double x = std::stod(point.substr(0, point.find(',')));
      const double y = std::stod(point.substr(point.find(',') + 1));
      EXPECT_NEAR((x - x0) * secondsPerPixel, expected[i][n].Seconds, 0.01);
      EXPECT_NEAR(axis.RateAt(y), expected[i][n].Mbps, 5.0);
      ++n;
    }
    EXPECT_EQ(n, expected[i].size());
  }
  // The two averages and the theoretical maximum, each at its own height.
  const auto levels = All(elements, "line", "level");
  ASSERT_EQ(levels.size(), 3u);
  std::vector<double> rates;
  for (const Element* level : levels) rates.push_back(axis.RateAt(Attr(level, "y1")));
  EXPECT_NEAR(rates[0], 3880.0, 5.0);
  EXPECT_NEAR(rates[1], 3000.0, 5.0);
  EXPECT_NEAR(rates[2], 2500.0, 5.0);
  EXPECT_GE(axis.top, 3880.0);

  std::string labels;
  for (const Element* text : All(elements, "text", "axis-label")) labels += text->text + "|";
  EXPECT_EQ(labels, "Time (s)|Rate (Mb/s)|");
  EXPECT_NE(All(elements, "title").at(0)->text.find("<SIM&\"0001\">"), std::string::npos);
}

TEST(RatePlotTest, NoSamplesOrOneSampleStillMakeAPicture) {
  RunReport report = TwoDirections();
  report.Directions[0].Series.clear();
  report.Directions[1].Series = {{kNaN, 1.0}};
  auto elements = Parse(RatePlotSvg(report));
  ASSERT_FALSE(elements.empty());
  EXPECT_TRUE(All(elements, "polyline").empty());
  EXPECT_EQ(All(elements, "text", "legend").size(), 2u);
  bool told = false;
  for (const Element* text : All(elements, "text")) told |= text->text == "No rate samples";
  EXPECT_TRUE(told);

  report.Directions[1].Series = {{3.0, 2500.0}};
  elements = Parse(RatePlotSvg(report));
  const auto lines = All(elements, "polyline", "rate");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]->attributes.at("points").find(' '), std::string::npos);
  EXPECT_EQ(All(elements, "circle").size(), 1u);  // a one-point line alone shows nothing
}

TEST(RatePlotTest, AxisTicksAreRoundStepsCoveringTheRange) {
  for (double maximum : {1e-3, 0.7, 1.0, 3.0, 9.216, 99.9, 100.0, 425.984, 3880.0, 12345.6, 1e9}) {
    for (int wanted : {5, 8}) {
      SCOPED_TRACE(testing::Message() << maximum << " / " << wanted);
      const std::vector<double> ticks = AxisTicks(maximum, wanted);
      ASSERT_GE(ticks.size(), 2u);
      ASSERT_LE(ticks.size(), static_cast<size_t>(wanted + 1));
      const double step = ticks[1];
      const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
      EXPECT_TRUE(std::abs(mantissa - 1) < 1e-6 || std::abs(mantissa - 2) < 1e-6 ||
                  std::abs(mantissa - 5) < 1e-6)
          << step;
      for (size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], i * step, step * 1e-9);
      EXPECT_GE(ticks.back(), maximum * (1 - 1e-12));
      EXPECT_LT(ticks.back() - step, maximum);
    }
  }
  for (double unusable : {0.0, -5.0, kNaN, std::numeric_limits<double>::infinity()}) {
    const std::vector<double> ticks = AxisTicks(unusable, 5);
    EXPECT_EQ(ticks.front(), 0.0);
    EXPECT_DOUBLE_EQ(ticks.back(), 1.0);
  }
}

}  // namespace
