#include "ui/run_report.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "engines/configuration.h"
#include "platform/text.h"

namespace {

// Builds the document line by line with a fixed indent per level.
class JsonWriter {
 public:
  std::string Take() { return std::move(out_); }

  void Open(std::string_view key, char bracket) {
    Key(key);
    out_ += bracket;
    ++depth_;
    first_ = true;
  }
  void Close(char bracket) {
    --depth_;
    if (!first_) NewLine();
    out_ += bracket;
    first_ = false;
  }
  void String(std::string_view key, std::u16string_view value) {
    Key(key);
    Quoted(Utf16ToUtf8(value));
  }
  void Text(std::string_view key, std::string_view value) {
    Key(key);
    Quoted(value);
  }
  void Number(std::string_view key, double value) {
    Key(key);
    AppendNumber(value);
  }
  void Integer(std::string_view key, int64_t value) {
    Key(key);
    out_ += std::to_string(value);
  }
  void Unsigned(std::string_view key, uint64_t value) {
    Key(key);
    out_ += std::to_string(value);
  }
  void Bool(std::string_view key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
  }
  void Null(std::string_view key) {
    Key(key);
    out_ += "null";
  }
  // One [seconds, Mb/s] pair on a line of its own.
  void Pair(double first, double second) {
    Key({});
    out_ += '[';
    AppendNumber(first);
    out_ += ", ";
    AppendNumber(second);
    out_ += ']';
  }

 private:
  void NewLine() {
    out_ += '\n';
    out_.append(static_cast<size_t>(depth_) * 2, ' ');
  }
  // Starts a member (or, with an empty key, an array element).
  void Key(std::string_view key) {
    if (depth_ > 0) {
      if (!first_) out_ += ',';
      NewLine();
    }
    first_ = false;
    if (!key.empty()) {
      Quoted(key);
      out_ += ": ";
    }
  }
  void AppendNumber(double value) {
    if (!std::isfinite(value)) {
      out_ += "null";
      return;
    }
    char buffer[32];
    // The shortest text that reads back as the same double.
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, error == std::errc() ? end : buffer);
  }
  void Quoted(std::string_view text) {
    out_ += '"';
    for (const char c : text) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out_ += escaped;
          } else {
            out_ += c;  // UTF-8 passes as it is
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  int depth_ = 0;
  bool first_ = true;
};

std::string IsoUtcTime(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (gmtime_r(&time, &utc) == nullptr) return {};
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, length);
}

}  // namespace

std::string RunReportJson(const RunReport& report) {
  JsonWriter json;
  json.Open({}, '{');
  json.String("test", report.Test);
  if (report.Mode.empty()) {
    json.Null("mode");
  } else {
    json.String("mode", report.Mode);
  }
  json.String("endpoint_type", report.EndpointType);
  json.String("plug", report.Plug);
  json.Open("speed", '{');
  json.Unsigned("code", report.Speed);
  if (report.Speed >= TestConfigRecord::FullSpeed && report.Speed <= TestConfigRecord::SuperSpeed) {
    json.String("name", ConnectionTypeNames[report.Speed]);
  } else {
    json.Null("name");
  }
  json.Close('}');
  const std::string start = report.StartTime > 0 ? IsoUtcTime(report.StartTime) : std::string();
  if (start.empty()) {
    json.Null("start_time");
    json.Null("start_time_unix");
  } else {
    json.Text("start_time", start);
    json.Integer("start_time_unix", report.StartTime);
  }
  json.Integer("duration_seconds", report.DurationSeconds);
  json.Unsigned("operations", report.Operations);

  json.Open("errors", '{');
  json.Integer("total", report.TotalErrors);
  json.Integer("read", report.ReadErrors);
  json.Integer("write", report.WriteErrors);
  json.Integer("verification", report.VerificationErrors);
  json.Integer("published", report.PublishedErrors);
  json.Integer("physical_layer", report.PhysicalLayerErrors);
  json.Integer("link_layer", report.LinkLayerErrors);
  json.Close('}');

  json.Number("average_mbps", report.AverageMbps);
  json.Number("theoretical_max_mbps", report.TheoreticalMaxMbps);
  json.Open("directions", '[');
  for (const DirectionRates& direction : report.Directions) {
    json.Open({}, '{');
    json.String("name", direction.Name);
    json.Number("max_mbps", direction.MaxMbps);
    json.Number("min_mbps", direction.MinMbps);
    json.Number("average_mbps", direction.AverageMbps);
    json.Unsigned("bytes", direction.Bytes);
    json.Open("series", '[');
    for (const RateSample& sample : direction.Series) json.Pair(sample.Seconds, sample.Mbps);
    json.Close(']');
    json.Close('}');
  }
  json.Close(']');
  json.Text("result", report.Passed ? "PASS" : "FAIL");
  json.Close('}');
  std::string text = json.Take();
  text += '\n';
  return text;
}
