// Event log throughput and log export time, each beside the raw work of moving the
// same bytes measured in the same run (x_raw = our time / raw time).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "log/log_export.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// A typical loop line of the loopback test.
constexpr char16_t kText[] =
    u"Loop 12345: 65536 bytes written, read and verified 312.5 Mb/s (39.1 MB/s)";
constexpr size_t kRowChars = Logger::kTextChars;
constexpr size_t kSlots = Logger::kCapacity;

// A ring of the log's shape for the raw copies, so both sides see the same memory
// traffic (a fresh 600-byte row per record over 180 MB). Touched once up front, like
// the log's own ring after its first lap.
std::vector<char16_t>& RawRing() {
  static std::vector<char16_t> ring(kSlots * kRowChars, u'x');
  return ring;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double RawCopySeconds(char16_t* rows, int64_t records, size_t firstSlot) {
  size_t slot = firstSlot % kSlots;
  const Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < records; ++i) {
    std::memcpy(rows + slot * kRowChars, kText, sizeof kText);
    benchmark::ClobberMemory();
    if (++slot == kSlots) slot = 0;
  }
  return Seconds(start);
}

void Report(benchmark::State& state, double records, double ourSeconds, double rawSeconds) {
  state.counters["rec/s"] = benchmark::Counter(records / ourSeconds);
  state.counters["raw_rec/s"] = benchmark::Counter(records / rawSeconds);
  state.counters["x_raw"] =
      benchmark::Counter(ourSeconds / rawSeconds, benchmark::Counter::kAvgThreads);
}

// A log that has gone round once, so every row is resident: the steady state of a
// long test.
Logger& WarmLog() {
  static Logger* log = [] {
    auto* warm = new Logger;
    for (size_t i = 0; i < kSlots; ++i) warm->AddRecord(kText, LogCategory::Loopback);
    return warm;
  }();
  return *log;
}

void BM_AddRecord(benchmark::State& state) {
  Logger& log = WarmLog();
  RawRing();
  const Clock::time_point start = Clock::now();
  for (auto _ : state) log.AddRecord(kText, LogCategory::Loopback);
  const double ours = Seconds(start);
  const double n = static_cast<double>(state.iterations());
  Report(state, n, ours, RawCopySeconds(RawRing().data(), state.iterations(), 0));
}
BENCHMARK(BM_AddRecord)->UseRealTime();

// Through LogEvent and the log's lock, as the engine threads add records.
void BM_LogEvent(benchmark::State& state) {
  if (state.thread_index() == 0) LogRecord = &WarmLog();
  RawRing();
  const Clock::time_point start = Clock::now();
  for (auto _ : state) LogEvent(kText, LogCategory::Loopback);
  const double ours = Seconds(start);
  // Each thread copies its share into its own half of the raw ring, concurrently.
  const double n = static_cast<double>(state.iterations());
  Report(state, n, ours,
         RawCopySeconds(RawRing().data(), state.iterations(),
                        static_cast<size_t>(state.thread_index()) * kSlots / 2));
}
BENCHMARK(BM_LogEvent)->Threads(1)->Threads(2)->UseRealTime();

// The first lap of a fresh log: the rows become resident as they are first written.
// The raw side copies into fresh zero pages too.
void BM_AddRecordFirstLap(benchmark::State& state) {
  constexpr int64_t kRecords = Logger::kCapacity - 1;
  double ours = 0, raw = 0;
  for (auto _ : state) {
    auto* log = new Logger;
    Clock::time_point start = Clock::now();
    for (int64_t i = 0; i < kRecords; ++i) log->AddRecord(kText, LogCategory::Loopback);
    ours += Seconds(start);
    state.PauseTiming();
    delete log;
    std::vector<char16_t>* fresh = new std::vector<char16_t>();
    fresh->reserve(kSlots * kRowChars);  // untouched pages, like the log's
    state.ResumeTiming();
    raw += RawCopySeconds(fresh->data(), kRecords, 0);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
  }
  Report(state, static_cast<double>(kRecords * state.iterations()), ours, raw);
}
BENCHMARK(BM_AddRecordFirstLap)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

int64_t g_fakeNow = 1600000000;
int64_t EverySecond() {
  return g_fakeNow++;
}

// A full log of 300000 records, each in its own second (the export converts every
// distinct second to local time, so this is its slowest case).
void BM_SaveFullLog(benchmark::State& state) {
  static Logger log;
  log.Clear();
  log.SetTimeSource(&EverySecond);
  for (int i = 0; i < 300000; ++i) log.AddRecord(kText, static_cast<uint32_t>(i % 9));
  const std::string base =
      (std::filesystem::temp_directory_path() / ("tarnwick-log-bench-" + std::to_string(getpid())))
          .string();
  const std::string path = base + ".txt";
  const std::string rawPath = base + "-raw.txt";

  double ours = 0, raw = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    if (!WriteLogFile(&log, Utf8ToUtf16(path))) state.SkipWithError("cannot write the log file");
    ours += Seconds(start);

    // Raw: the same bytes, already in memory, written to a file in one go.
    state.PauseTiming();
    std::FILE* in = std::fopen(path.c_str(), "rb");
    std::vector<char> bytes(static_cast<size_t>(std::filesystem::file_size(path)));
    if (in != nullptr) {
      bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
      std::fclose(in);
    }
    state.ResumeTiming();
    start = Clock::now();
    if (std::FILE* out = std::fopen(rawPath.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
    }
    raw += Seconds(start);
    state.counters["bytes"] = static_cast<double>(bytes.size());
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["s/save"] = ours / n;
  state.counters["raw_s/save"] = raw / n;
  state.counters["x_raw"] = ours / raw;
  std::filesystem::remove(path);
  std::filesystem::remove(rawPath);
}
BENCHMARK(BM_SaveFullLog)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
