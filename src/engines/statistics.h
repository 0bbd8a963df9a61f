// The process-wide record of counters and published figures that the engines write
// and the results display reads, the rate units and the result-line helpers.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

struct TestStatsRecord {
  std::atomic<int32_t> TransferSize{0};  // bytes per transfer of the run
  std::atomic<uint16_t> PacketsPerTransfer{0};
  std::atomic<int32_t> QueueDepth{0};
  std::atomic<int64_t> CounterFrequency{0};  // performance-counter ticks per second

  std::atomic<int32_t> TotalErrors{0};
  std::atomic<int32_t> ReadErrors{0};
  std::atomic<int32_t> WriteErrors{0};
  std::atomic<int32_t> VerificationErrors{0};

  // Last block of each direction: written and read only under that direction's
  // figures lock, so a pair never mixes two blocks.
  int64_t ReadBlockTicks = 0;
  int32_t ReadBlockBytes = 0;
  int64_t WriteBlockTicks = 0;
  int32_t WriteBlockBytes = 0;

  std::atomic<int64_t> BenchmarkStartTime{0};  // calendar seconds

  std::atomic<uint32_t> PublishedLoopCount{0};
  std::atomic<int32_t> PublishedErrorCount{0};
  std::atomic<float> PublishedMaxRate{0.0f};  // Mb/s
  std::atomic<float> PublishedReadMaxRate{0.0f};
  std::atomic<float> PublishedWriteMaxRate{0.0f};
  std::atomic<float> TheoreticalMaxRate{0.0f};

  std::atomic<int32_t> RunSpeed{0};               // 1 full, 2 high, 3 SuperSpeed
  std::atomic<float> DurationLimitMinutes{0.0f};  // 0 or less: no limit
  std::atomic<int64_t> RunStartTime{0};           // calendar seconds, 0 = not running
  std::atomic<int64_t> ElapsedSeconds{0};
};

extern TestStatsRecord TestStats;

// Everything back to zero (tests; the program never frees or resets the record).
void ResetTestStats();

// 2^-20: one Mb is 2^20 bits and one MB 2^20 bytes.
constexpr double MEGA_UNIT = 9.5367431640625e-7;

// TestStats' counter frequency, or the platform's when none was stored (the main
// dialog's set-up stores it); never 0, so the tick conversions cannot divide by zero.
int64_t CounterFrequency();

// Performance-counter ticks to microseconds, written the way the figures were
// always computed so that results stay comparable.
double TicksToMicroseconds(int64_t ticks, int64_t frequency);
// Mb/s for a byte count moved in a time; 0 when no time was measured.
double RateMbps(double bytes, double microseconds);
// The MB/s figure printed beside a Mb/s figure.
constexpr double MegabytesPerSecond(double mbps) {
  return mbps * 0.125;
}

// label + "%0.1f Mb/s (%0.1f MB/s)": the one shape every rate line takes.
std::u16string FormatRateLine(std::u16string_view label, double mbps);
// The same shape (without a label) into an 8-bit buffer, for lines written at the loop
// rate without allocating; returns the characters written, as snprintf does.
int FormatRate(char* out, size_t size, double mbps);

// "Device: Plug-%d (<speed>)" by TestConfig's ConnectionType.
void FormatDeviceLabel(std::u16string& destination, uint32_t deviceNumber);
// "Duration: %03dh %02dm %02ds"; hours are not capped.
void FormatDuration(int64_t seconds, std::u16string& destination);

// Highest rate the configured endpoint can carry, in Mb/s.
float MaxTheoreticalRate();
