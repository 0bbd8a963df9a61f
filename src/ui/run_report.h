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
  double seconds = 0.0;  // since the start of the run
  double mbps = 0.0;
};

// One direction of the traffic: "read", "write", or for the loopback the round trip
// ("loopback").
struct DirectionRates {
  std::u16string name;
  double maxMbps = std::numeric_limits<double>::quiet_NaN();
  double minMbps = std::numeric_limits<double>::quiet_NaN();
  double averageMbps = std::numeric_limits<double>::quiet_NaN();
  uint64_t bytes = 0;
  // One sample per benchmark block or per loop line, in time order.
  std::vector<RateSample> series;
};

struct RunReport {
  std::u16string test;          // "loopback" or "benchmark"
  std::u16string mode;          // benchmark direction ("Read and Write", ...); empty: none
  std::u16string endpointType;  // "BULK" or "ISO"
  std::u16string plug;          // serial number
  uint32_t speed = 0;           // connection type: 1 full, 2 high, 3 SuperSpeed
  int64_t startTime = 0;        // seconds since 1970, UTC; 0 = not known
  int64_t durationSeconds = 0;
  uint64_t operations = 0;  // loops or blocks

  int32_t totalErrors = 0;
  int32_t readErrors = 0;
  int32_t writeErrors = 0;
  int32_t verificationErrors = 0;
  int32_t publishedErrors = 0;  // the figure the display shows (benchmark: time-outs)
  int64_t physicalLayerErrors = 0;
  int64_t linkLayerErrors = 0;

  std::vector<DirectionRates> directions;
  // Both directions together (benchmark modes that read and write); NaN otherwise.
  double averageMbps = std::numeric_limits<double>::quiet_NaN();
  double theoreticalMaxMbps = std::numeric_limits<double>::quiet_NaN();

  bool passed = false;
};

// The report as a JSON document (UTF-8, ending in a line feed). Samples are
// [seconds, Mb/s] pairs; the start time is given as ISO 8601 UTC text and as seconds.
std::string RunReportJson(const RunReport& report);
