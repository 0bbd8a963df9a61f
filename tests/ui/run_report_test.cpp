#include "ui/run_report.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

QJsonObject ParseBack(const std::string& text) {
  // Qt's reader lets raw control characters in strings pass; JSON does not.
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && inString) {
      ++i;
    } else if (text[i] == '"') {
      inString = !inString;
    } else if (inString) {
      EXPECT_GE(static_cast<unsigned char>(text[i]), 0x20) << "raw control character at " << i;
    }
  }
  // Strict UTF-8 first: the JSON reader would quietly replace bad bytes.
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = decoder(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  EXPECT_FALSE(decoder.hasError()) << "not UTF-8";
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError)
      << error.errorString().toStdString() << " at " << error.offset << "\n"
      << text;
  EXPECT_TRUE(document.isObject());
  return document.object();
}

TEST(RunReportTest, EveryFigureReadsBackAsWritten) {
  RunReport report;
  report.Test = u"benchmark";
  report.Mode = u"Read and Write";
  report.EndpointType = u"BULK";
  report.Plug = u"SIM0001";
  report.Speed = 3;
  report.StartTime = 1614953229;
  report.DurationSeconds = 62;
  report.Operations = 123;
  report.TotalErrors = 4;
  report.ReadErrors = 1;
  report.WriteErrors = 2;
  report.VerificationErrors = 3;
  report.PublishedErrors = 5;
  report.PhysicalLayerErrors = 6;
  report.LinkLayerErrors = 7;
  report.AverageMbps = 3456.789012345678;
  report.TheoreticalMaxMbps = 3880.0;
  report.Directions = {
      {u"read",
       3600.25,
       3100.5,
       3333.3333333333335,
       5'000'000'000'000,
       {{0.5, 3100.5}, {1.25, 3600.25}}},
      {u"write", 3000.0, 2900.125, 2950.0, 42, {}},
  };
  report.Passed = true;
  const QJsonObject json = ParseBack(RunReportJson(report));
  const std::pair<const char*, const char*> texts[] = {{"test", "benchmark"},
                                                       {"mode", "Read and Write"},
                                                       {"endpoint_type", "BULK"},
                                                       {"plug", "SIM0001"},
                                                       {"start_time", "2021-03-05T14:07:09Z"},
                                                       {"result", "PASS"}};
  for (const auto& [key, value] : texts) EXPECT_EQ(json[key].toString(), value) << key;
  EXPECT_EQ(json["speed"]["code"].toInt(), 3);
  EXPECT_EQ(json["speed"]["name"].toString(), "SuperSpeed 5Gb/s");
  const std::pair<const char*, int64_t> numbers[] = {
      {"start_time_unix", 1614953229}, {"duration_seconds", 62}, {"operations", 123}};
  for (const auto& [key, value] : numbers) EXPECT_EQ(json[key].toInteger(), value) << key;
  const QJsonObject errors = json["errors"].toObject();
  const std::pair<const char*, int64_t> counters[] = {
      {"total", 4},     {"read", 1},           {"write", 2},     {"verification", 3},
      {"published", 5}, {"physical_layer", 6}, {"link_layer", 7}};
  for (const auto& [key, value] : counters) EXPECT_EQ(errors[key].toInteger(), value) << key;
  EXPECT_EQ(errors.size(), 7);
  EXPECT_EQ(json["average_mbps"].toDouble(), report.AverageMbps);  // every digit kept
  EXPECT_EQ(json["theoretical_max_mbps"].toDouble(), 3880.0);
  const QJsonArray directions = json["directions"].toArray();
  ASSERT_EQ(directions.size(), 2);
  for (qsizetype i = 0; i < directions.size(); ++i) {
    const DirectionRates& want = report.Directions[static_cast<size_t>(i)];
    const QJsonObject got = directions[i].toObject();
    EXPECT_EQ(got["name"].toString().toStdU16String(), want.Name);
    EXPECT_EQ(got["max_mbps"].toDouble(), want.MaxMbps);
    EXPECT_EQ(got["min_mbps"].toDouble(), want.MinMbps);
    EXPECT_EQ(got["average_mbps"].toDouble(), want.AverageMbps);
    EXPECT_EQ(static_cast<uint64_t>(got["bytes"].toInteger()), want.Bytes);
    const QJsonArray series = got["series"].toArray();
    ASSERT_EQ(static_cast<size_t>(series.size()), want.Series.size());
    for (qsizetype n = 0; n < series.size(); ++n) {
      EXPECT_EQ(series[n][0].toDouble(), want.Series[static_cast<size_t>(n)].Seconds);
      EXPECT_EQ(series[n][1].toDouble(), want.Series[static_cast<size_t>(n)].Mbps);
    }
  }
}

TEST(RunReportTest, TextIsEscapedAndFiguresNeverMeasuredAreNull) {
  RunReport report;
  report.Test = u"loopback";
  report.Plug = u"a\"b\\c\n\t\x01\x1f/Prüf€\U0001D11E";
  report.EndpointType = u"\xD800lone";  // an unpaired surrogate
  report.Speed = 9;
  report.Directions = {{u"loopback", kNaN, kInf, -kInf, 0, {{0.0, kNaN}, {kInf, 1.5}}}};
  const QJsonObject json = ParseBack(RunReportJson(report));
  EXPECT_EQ(json["plug"].toString().toStdU16String(), report.Plug);
  EXPECT_EQ(json["endpoint_type"].toString().toStdU16String(), u"\xFFFDlone");
  for (const char* key :
       {"mode", "start_time", "start_time_unix", "average_mbps", "theoretical_max_mbps"})
    EXPECT_TRUE(json[key].isNull()) << key;
  EXPECT_TRUE(json["speed"]["name"].isNull());
  const QJsonObject loop = json["directions"][0].toObject();
  for (const char* key : {"max_mbps", "min_mbps", "average_mbps"})
    EXPECT_TRUE(loop[key].isNull()) << key;
  EXPECT_TRUE(loop["series"][0][1].isNull());
  EXPECT_TRUE(loop["series"][1][0].isNull());
  EXPECT_EQ(loop["series"][1][1].toDouble(), 1.5);
  EXPECT_EQ(json["result"].toString(), "FAIL");

  report.Directions.clear();
  EXPECT_TRUE(ParseBack(RunReportJson(report))["directions"].toArray().isEmpty());
}

}  // namespace
