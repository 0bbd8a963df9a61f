// The results of one run in a form other programs read: a plain record that the
// command-line front end fills from the run, and its JSON text.
//
// Rates are in Mb/s (2^20 bits per second), as everywhere in the tool. Figures that
// were never measured (a minimum with no samples, an average without time) are NaN
// and come out as null; the JSON never holds a number a reader could choke on.
#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct RateSample {
  double Seconds = 0.0;  // since the start of the run
  double Mbps = 0.0;
};

// One direction of the traffic: "read", "write", or for the loopback the round trip
// ("loopback").
struct DirectionRates {
  std::u16string Name;
  double MaxMbps = std::numeric_limits<double>::quiet_NaN();
  double MinMbps = std::numeric_limits<double>::quiet_NaN();
  double AverageMbps = std::numeric_limits<double>::quiet_NaN();
  uint64_t Bytes = 0;
  // One sample per benchmark block or per loop line, in time order.
  std::vector<RateSample> Series;
};

struct RunReport {
  std::u16string Test;          // "loopback" or "benchmark"
  std::u16string Mode;          // benchmark direction ("Read and Write", ...); empty: none
  std::u16string EndpointType;  // "BULK" or "ISO"
  std::u16string Plug;          // serial number
  uint32_t Speed = 0;           // connection type: 1 full, 2 high, 3 SuperSpeed
  int64_t StartTime = 0;        // seconds since 1970, UTC; 0 = not known
  int64_t DurationSeconds = 0;
  uint64_t Operations = 0;  // loops or blocks

  int32_t TotalErrors = 0;
  int32_t ReadErrors = 0;
  int32_t WriteErrors = 0;
  int32_t VerificationErrors = 0;
  int32_t PublishedErrors = 0;  // the figure the display shows (benchmark: time-outs)
  int64_t PhysicalLayerErrors = 0;
  int64_t LinkLayerErrors = 0;

  std::vector<DirectionRates> Directions;
  // Both directions together (benchmark modes that read and write); NaN otherwise.
  double AverageMbps = std::numeric_limits<double>::quiet_NaN();
  double TheoreticalMaxMbps = std::numeric_limits<double>::quiet_NaN();

  bool Passed = false;
};

// The report as a JSON document (UTF-8, ending in a line feed). Samples are
// [seconds, Mb/s] pairs; the start time is given as ISO 8601 UTC text and as seconds.
std::string RunReportJson(const RunReport& report);
