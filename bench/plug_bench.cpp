// What the plug display monitor costs an idle tool: one simulated plug connected, no
// test running, the monitor thread on its real pauses for a few seconds.
//  - cpu_share_% is the monitor thread's CPU time over the wall time (the target is
//    below 0.5 % of a core); process_cpu_% is the whole process for context (it also
//    holds the virtual driver's bus thread, which completes the reads).
//  - reads/s is the display reads that reached the plug per second (one expected).
//  - x_raw sets the monitor's CPU time beside the raw work it stands for, measured in
//    the same run: as many display reads made back to back on the benchmark thread.
// The second case has no display endpoint to find (the plug is away): the monitor
// must pause between its passes instead of spinning.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "plug/sim_bus.h"
#include "protocol/plug_ids.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct MonitorRun {
  double Wall = 0, MonitorCpu = 0, ProcessCpu = 0;
  uint64_t Reads = 0;
};

// Runs the monitor on its real pauses for `seconds` and measures it.
MonitorRun RunMonitor(SimBus& port, double seconds) {
  ResetPlugMonitorState();
  std::thread monitor(PlugMonitorThread, nullptr);
  clockid_t monitorClock{};
  pthread_getcpuclockid(monitor.native_handle(), &monitorClock);
  // The first pass looks up the endpoint; the steady state is what an idle tool pays.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const uint64_t reads = port.DisplayReads();
  const double cpu = Seconds(monitorClock);
  const double process = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  MonitorRun run;
  run.MonitorCpu = Seconds(monitorClock) - cpu;
  run.ProcessCpu = ProcessCpuSeconds() - process;
  run.Wall = std::chrono::duration<double>(Clock::now() - start).count();
  run.Reads = port.DisplayReads() - reads;
  AppRunning = false;
  monitor.join();
  return run;
}

void Report(benchmark::State& state, const MonitorRun& run) {
  state.SetIterationTime(run.Wall);
  state.counters["cpu_share_%"] = benchmark::Counter(100.0 * run.MonitorCpu / run.Wall);
  state.counters["process_cpu_%"] = benchmark::Counter(100.0 * run.ProcessCpu / run.Wall);
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(run.Reads) / run.Wall);
}

void BM_MonitorIdleWithPlug(benchmark::State& state) {
  SimBus port("plugs=1");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  PlugDevice = &device;
  PlugConnected = true;
  const double seconds = static_cast<double>(state.range(0));
  for (auto _ : state) {
    const MonitorRun run = RunMonitor(port, seconds);
    Report(state, run);

    // The raw work: the same number of display reads, back to back on this thread.
    UsbEndpoint* display = MonitorEndpoint;
    if (display == nullptr || run.Reads == 0) {
      state.SkipWithError("the monitor never found the display endpoint");
      break;
    }
    PlugDisplayBitmap image{};
    const double rawStart = Seconds(CLOCK_THREAD_CPUTIME_ID);
    for (uint64_t i = 0; i < run.Reads; ++i) {
      std::lock_guard<std::mutex> guard(PlugSelectionLock);
      int32_t length = static_cast<int32_t>(image.size());
      display->TransferSync(image.data(), length);
    }
    const double raw = Seconds(CLOCK_THREAD_CPUTIME_ID) - rawStart;
    state.counters["raw_reads_cpu_s"] = benchmark::Counter(raw);
    state.counters["x_raw"] = benchmark::Counter(run.MonitorCpu / raw);
  }
  PlugDevice = nullptr;
  PlugConnected = false;
  ResetPlugMonitorState();
  device.CloseDevice();
}
BENCHMARK(BM_MonitorIdleWithPlug)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_MonitorWithoutDisplayEndpoint(benchmark::State& state) {
  SimBus port("plugs=1");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  PlugDevice = &device;
  PlugConnected = false;  // selected, not back yet: nothing to look up
  for (auto _ : state) Report(state, RunMonitor(port, static_cast<double>(state.range(0))));
  PlugDevice = nullptr;
  ResetPlugMonitorState();
  device.CloseDevice();
}
BENCHMARK(BM_MonitorWithoutDisplayEndpoint)
    ->Arg(3)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
