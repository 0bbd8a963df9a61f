// Verification and pattern fill of one 64 KiB loopback block, each beside the raw
// work on the same bytes measured in the same run (x_raw = our time / raw time).
// Verification runs once per loop outside the timed span but inside the loop rate a
// user sees, so it must stay close to a plain compare.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "engines/configuration.h"
#include "engines/patterns.h"
#include "engines/statistics.h"
#include "log/event_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kBlock = 65536;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(benchmark::State& state, double ourSeconds, double rawSeconds) {
  const double bytes = static_cast<double>(state.iterations()) * kBlock;
  state.counters["MB/s"] = benchmark::Counter(bytes / ourSeconds / 1048576.0);
  state.counters["raw_MB/s"] = benchmark::Counter(bytes / rawSeconds / 1048576.0);
  state.counters["x_raw"] = benchmark::Counter(ourSeconds / rawSeconds);
}

// A clean block: the common case, no records written.
void BM_VerifyCleanBlock(benchmark::State& state) {
  SetConfigDefaults();
  TestStats.TransferSize = kBlock;
  std::vector<uint8_t> sent(kBlock), received(kBlock);
  FillTestPattern(kBlock, sent.data());
  received = sent;

  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(VerifyLoopbackData(received.data(), sent.data(), kBlock));
    benchmark::ClobberMemory();
  }
  const double ours = Seconds(start);

  const Clock::time_point rawStart = Clock::now();
  for (int64_t i = 0; i < state.iterations(); ++i) {
    benchmark::DoNotOptimize(std::memcmp(received.data(), sent.data(), kBlock));
    benchmark::ClobberMemory();
  }
  Report(state, ours, Seconds(rawStart));
}
BENCHMARK(BM_VerifyCleanBlock)->UseRealTime();

// The random pattern, the most expensive fill, against filling the same bytes.
void BM_FillRandomPattern(benchmark::State& state) {
  SetConfigDefaults();
  TestConfig.Pattern = TestConfigRecord::Random;
  std::vector<uint8_t> buffer(kBlock);

  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    FillTestPattern(kBlock, buffer.data());
    benchmark::ClobberMemory();
  }
  const double ours = Seconds(start);

  const Clock::time_point rawStart = Clock::now();
  for (int64_t i = 0; i < state.iterations(); ++i) {
    std::memset(buffer.data(), static_cast<int>(i), kBlock);
    benchmark::ClobberMemory();
  }
  Report(state, ours, Seconds(rawStart));
}
BENCHMARK(BM_FillRandomPattern)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
