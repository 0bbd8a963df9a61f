// Event-log records added per second with the results display's hook installed (every
// record rescrolls and repaints the visible log lines on a headless canvas), beside the
// raw AddRecord rate of the same log measured in the same run (x_raw = our time / raw
// time). Target: at least 50000 records/s with 300000 records in the log.
#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>

#include "engines/statistics.h"
#include "log/event_log.h"
#include "res/control_ids.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/results_display.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t kText[] =
    u"Loop 12345: 65536 bytes written, read and verified 312.5 Mb/s (39.1 MB/s)";
constexpr int32_t kFullLog = 300000;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Display {
  ui::headless::HeadlessWindowSystem system;
  ui::Window* main = nullptr;
  Logger* log = nullptr;

  Display() {
    log = new Logger;
    for (int32_t i = 0; i < kFullLog; ++i) log->AddRecord(kText, LogCategory::Loopback);
    LogRecord = log;
    main = system.CreateDialog("TARNWICK", nullptr, nullptr);
    KeepDialogHandles(main);
    CreateDrawingObjects(96);
    LayoutLogArea(main, 0, 0);
    // Count the drawing calls but do not keep millions of them.
    static_cast<ui::headless::HeadlessWindow*>(main->Control(res::IDC_LOG_PANEL))
        ->Drawing()
        ->SetKeepCalls(false);
    DrawResults(LogPanel.load(), DRAW_LOG, 3);
    UpdateLogScrollBar();
  }
};

Display& TheDisplay() {
  static Display* display = new Display;
  return *display;
}

double RawAddSeconds(Logger& log, int64_t records) {
  const Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < records; ++i) {
    std::lock_guard lock(log.Lock());
    log.AddRecord(kText, LogCategory::Loopback);
    benchmark::ClobberMemory();
  }
  return Seconds(start);
}

void BM_LogEventWithDisplay(benchmark::State& state) {
  Display& display = TheDisplay();
  auto* panel =
      static_cast<ui::headless::HeadlessWindow*>(display.main->Control(res::IDC_LOG_PANEL));
  const size_t callsBefore = panel->Drawing()->CallCount();
  InstallLogDisplayHook();
  const Clock::time_point start = Clock::now();
  for (auto _ : state) LogEvent(kText, LogCategory::Loopback);
  const double ours = Seconds(start);
  SetLogRecordAddedHook(nullptr);
  const double raw = RawAddSeconds(*display.log, state.iterations());

  const double n = static_cast<double>(state.iterations());
  state.counters["rec/s"] = benchmark::Counter(n / ours);
  state.counters["raw_rec/s"] = benchmark::Counter(n / raw);
  state.counters["x_raw"] = benchmark::Counter(ours / raw);
  state.counters["draws/rec"] =
      benchmark::Counter(static_cast<double>(panel->Drawing()->CallCount() - callsBefore) / n);
  state.counters["lines"] = benchmark::Counter(LogLinesVisible.load());
}
BENCHMARK(BM_LogEventWithDisplay)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
