// Event-log records added per second with the results display's hook installed and a
// user-interface thread serving the log view's updates (rescroll, scroll bar, repaint of
// the visible lines on a headless canvas) while the records arrive, beside the raw
// AddRecord rate of the same log measured in the same run (x_raw = our time / raw time).
// paints/rec tells how many records share one repaint. Target: at least 1 M records/s
// with 300000 records in the log.
#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>
#include <thread>

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
  std::thread uiThread;
  ui::Window* main = nullptr;
  ui::headless::HeadlessWindow* panel = nullptr;
  Logger* log = nullptr;

  Display() {
    log = new Logger;
    for (int32_t i = 0; i < kFullLog; ++i) log->AddRecord(kText, LogCategory::Loopback);
    LogRecord = log;
    ui::SetWindowSystem(&system);
    uiThread = std::thread([this] { system.RunMessageLoop(); });
    main = system.CreateDialog("TARNWICK", nullptr, nullptr);
    panel = static_cast<ui::headless::HeadlessWindow*>(main->Control(res::IDC_LOG_PANEL));
    // Count the drawing calls but do not keep millions of them.
    panel->Drawing()->SetKeepCalls(false);
    system.Invoke([this] {
      KeepDialogHandles(main);
      CreateDrawingObjects(96);
      LayoutLogArea(main, 0, 0);
      DrawResults(LogPanel.load(), DRAW_LOG, 3);
      UpdateLogScrollBar();
    });
  }
};

Display& TheDisplay() {
  // Lives to the end of the process; its loop thread is never joined.
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
  const size_t paintsBefore = display.panel->Drawing()->PaintCount();
  InstallLogDisplayHook();
  const Clock::time_point start = Clock::now();
  for (auto _ : state) LogEvent(kText, LogCategory::Loopback);
  display.system.Flush();  // the last update is part of the work
  const double ours = Seconds(start);
  SetLogRecordAddedHook(nullptr);
  const double raw = RawAddSeconds(*display.log, state.iterations());

  const double n = static_cast<double>(state.iterations());
  state.counters["rec/s"] = benchmark::Counter(n / ours);
  state.counters["raw_rec/s"] = benchmark::Counter(n / raw);
  state.counters["x_raw"] = benchmark::Counter(ours / raw);
  state.counters["paints/rec"] = benchmark::Counter(
      static_cast<double>(display.panel->Drawing()->PaintCount() - paintsBefore) / n);
  state.counters["lines"] = benchmark::Counter(LogLinesVisible.load());
}
BENCHMARK(BM_LogEventWithDisplay)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
