#include "engines/statistics.h"

#include <cmath>
#include <cstdio>

#include "engines/configuration.h"
#include "platform/clock.h"
#include "platform/text.h"

TestStatsRecord TestStats;

void ResetTestStats() {
  TestStats.TransferSize = 0;
  TestStats.PacketsPerTransfer = 0;
  TestStats.QueueDepth = 0;
  TestStats.CounterFrequency = 0;
  TestStats.TotalErrors = 0;
  TestStats.ReadErrors = 0;
  TestStats.WriteErrors = 0;
  TestStats.VerificationErrors = 0;
  TestStats.ReadBlockTicks = 0;
  TestStats.ReadBlockBytes = 0;
  TestStats.WriteBlockTicks = 0;
  TestStats.WriteBlockBytes = 0;
  TestStats.BenchmarkStartTime = 0;
  TestStats.PublishedLoopCount = 0;
  TestStats.PublishedErrorCount = 0;
  TestStats.PublishedMaxRate = 0.0f;
  TestStats.PublishedReadMaxRate = 0.0f;
  TestStats.PublishedWriteMaxRate = 0.0f;
  TestStats.TheoreticalMaxRate = 0.0f;
  TestStats.RunSpeed = 0;
  TestStats.DurationLimitMinutes = 0.0f;
  TestStats.RunStartTime = 0;
  TestStats.ElapsedSeconds = 0;
}

int64_t CounterFrequency() {
  const int64_t stored = TestStats.CounterFrequency;
  return stored > 0 ? stored : QueryPerformanceFrequency();
}

double TicksToMicroseconds(int64_t ticks, int64_t frequency) {
  return static_cast<double>(ticks) * 100000.0 / (static_cast<double>(frequency) / 10.0);
}

double RateMbps(double bytes, double microseconds) {
  if (!(microseconds > 0.0)) return 0.0;
  return bytes * 8.0 * MEGA_UNIT / (microseconds / 1000000.0);
}

int FormatRate(char* out, size_t size, double mbps) {
  return std::snprintf(out, size, "%0.1f Mb/s (%0.1f MB/s)", mbps, MegabytesPerSecond(mbps));
}

std::u16string FormatRateLine(std::u16string_view label, double mbps) {
  char rate[96];
  FormatRate(rate, sizeof rate, mbps);
  std::u16string line(label);
  line += Widen8(rate);
  return line;
}

void FormatDeviceLabel(std::u16string& destination, uint32_t deviceNumber) {
  const uint32_t speed = TestConfig.ConnectionType;
  destination = Format16("Device: Plug-%d", static_cast<int>(deviceNumber));
  if (speed >= TestConfigRecord::FullSpeed && speed <= TestConfigRecord::SuperSpeed) {
    destination += u" (";
    destination += ConnectionTypeNames[speed];
    destination += u")";
  }
}

void FormatDuration(int64_t seconds, std::u16string& destination) {
  // A clock set back during a run could make the count negative; show zero then.
  if (seconds < 0) seconds = 0;
  destination = Format16("Duration: %03lldh %02dm %02ds", static_cast<long long>(seconds / 3600),
                         static_cast<int>(seconds % 3600 / 60), static_cast<int>(seconds % 60));
}

float MaxTheoreticalRate() {
  const uint32_t speed = TestConfig.ConnectionType;
  if (TestConfig.EndpointType == TestConfigRecord::Bulk) {
    switch (speed) {
      case TestConfigRecord::SuperSpeed:
        return 3880.0f;
      case TestConfigRecord::HighSpeed:
        return 425.984f;
      case TestConfigRecord::FullSpeed:
        return 9.216f;
      default:
        return 0.0f;  // no configured test runs at another speed
    }
  }
  if (speed < TestConfigRecord::FullSpeed || speed > TestConfigRecord::SuperSpeed) return 0.0f;
  const uint32_t packetSize = speed == TestConfigRecord::FullSpeed ? 64 : 1024;
  const uint16_t bytesPerInterval =
      static_cast<uint16_t>(TestConfig.BurstLength * TestConfig.IsoPacketsPerInterval * packetSize);
  // The dialog keeps the interval at 1..16; a 0 would divide by zero, so it counts as 1.
  const int interval = TestConfig.PollingInterval == 0 ? 1 : TestConfig.PollingInterval;
  if (speed == TestConfigRecord::FullSpeed) {
    return static_cast<float>(bytesPerInterval) / static_cast<float>(interval) * 1000.0f *
           0.0009765625f * 0.0009765625f * 8.0f;
  }
  const double microframes = std::ldexp(1.0, interval - 1);
  return static_cast<float>(bytesPerInterval / (microframes * 125.0) * 1000000.0 * 0.0009765625 *
                            0.0009765625 * 8.0);
}
