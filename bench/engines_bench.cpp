// The test engines against the simulated plug, each beside the bare work it measures,
// in the same run (the machine is shared, so runs alternate and the figures are ratios):
//  - overhead at rate=unlimited: the benchmark's Read mode against a bare 64-deep queue
//    of 64 KiB bulk IN transfers through the same endpoint object, and the loopback
//    engine against bare TransferSync write+read pairs (ratio = engine / bare, 1.0 =
//    no overhead). "reported" compares the rate the engine prints, "wall" the data the
//    engine counted per second of its run, "moved" the data its transfers moved (the
//    controller counts only the blocks it takes: one published while it had no CPU is
//    overwritten by the next, by design), and "reported_vs_moved" the printed rate
//    against the moved data per second;
//  - accuracy at rate=400 (MB/s): the benchmark's average read and write rates and its
//    per-block minimum and maximum, and the loopback's average, against the rate the
//    plug model implies (each transfer costs 20 us plus its bytes at 400 MB/s);
//  - verbose logging: the loopback's loops per second with a record per loop, each
//    repainting the log view (headless window, the real display hook), against the
//    same run without it.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/benchmark_sync.h"
#include "engines/benchmark_test.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/engine_timing.h"
#include "engines/find_test_endpoints.h"
#include "engines/loopback_test.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/driver_port.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"
#include "ui/headless/headless_window.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/results_display.h"
#include "usb/usb_device.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kBlock = 65536;
constexpr int kDepth = 64;
constexpr int kRounds = 5;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

void NoPause(uint32_t) {}

class ArrivalWaiter : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    if (notice.Event == DBT_DEVICEARRIVAL) ++arrivals_;
    changed_.notify_all();
  }
  bool WaitBeyond(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrivals_ > count; });
  }
  int Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrivals_ = 0;
};

// One simulated plug, selected and ready as the window leaves it, with an event log.
class Rig {
 public:
  explicit Rig(const char* options)
      : port_(ParseSimOptions(options).Options),
        installed_(&port_),
        device_(&waiter_, PLUG_INTERFACE_CLASS, true) {
    static Logger* log = new Logger;
    LogRecord = log;
    Clear();
    PlugDevice = &device_;
    PlugConnected = true;
    FirmwareNumber = 23;
    SelectedDeviceNumber = 0;
    SetConfigDefaults();
    TestStats.CounterFrequency = QueryPerformanceFrequency();
    CreateBenchmarkSyncObjects();
    EngineTiming.Pause = NoPause;
  }
  ~Rig() {
    PlugDevice = nullptr;
    device_.CloseDevice();
    ResetEngineTiming();
  }

  bool Ok() const { return device_.DeviceHandle != INVALID_DRIVER_HANDLE; }

  bool Configure(uint32_t testMode, uint32_t benchmarkMode) {
    TestConfig.TestMode = testMode;
    TestConfig.BenchmarkMode = benchmarkMode;
    ApplySpeedDefaults();
    CorrectTestConfig();
    PlugConfigBlock block = BuildPlugConfigBlock(TestConfig);
    const int arrivals = waiter_.Arrivals();
    if (SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, block.data(), 14) != 1) {
      return false;
    }
    if (!waiter_.WaitBeyond(arrivals) || !device_.Open(0)) return false;
    PlugConnected = true;
    return true;
  }

  static void Clear() {
    std::lock_guard lock(LogRecord->Lock());
    LogRecord->Clear();
  }

  // The Mb/s figure of the first record that starts with prefix, or -1.
  static double Rate(const char* prefix) {
    std::lock_guard lock(LogRecord->Lock());
    const int32_t count = static_cast<int32_t>(LogRecord->RecordCount());
    const std::string wanted = prefix;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t category;
      int64_t time;
      const std::string text = Utf16ToUtf8(LogRecord->GetRecord(i, &category, &time));
      if (text.rfind(wanted, 0) != 0) continue;
      double value = -1;
      std::sscanf(text.c_str() + wanted.size(), "%lf", &value);
      return value;
    }
    return -1;
  }

  // Runs an engine for about `seconds` and stops it; returns the seconds it ran.
  template <typename Body>
  static double Run(Body body, double seconds, const std::function<void()>& during = {}) {
    TestStopped = false;
    ResetTestStatsForRun();
    const Clock::time_point start = Clock::now();
    StartEngineThread(body);
    if (during) during();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    const double ran = Seconds(start);
    StopTest();
    WaitForEngineThreads(60000);
    return ran;
  }

  UsbDevice& Device() { return device_; }
  SimDriverPort& Port() { return port_; }

  // The Mb/s figures of every record that contains marker, read just after it.
  static std::vector<double> RatesAfter(const char* marker) {
    std::lock_guard lock(LogRecord->Lock());
    const int32_t count = static_cast<int32_t>(LogRecord->RecordCount());
    std::vector<double> rates;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t category;
      int64_t time;
      const std::string text = Utf16ToUtf8(LogRecord->GetRecord(i, &category, &time));
      const size_t at = text.find(marker);
      double value = -1;
      if (at != std::string::npos &&
          std::sscanf(text.c_str() + at + std::strlen(marker), "%lf", &value) == 1) {
        rates.push_back(value);
      }
    }
    return rates;
  }

 private:
  static void ResetTestStatsForRun() {
    TestStats.PublishedLoopCount = 0;
    TestStats.PublishedErrorCount = 0;
  }
  struct Installed {
    explicit Installed(DriverPort* port) { SetDriverPort(port); }
    ~Installed() { SetDriverPort(nullptr); }
  };
  SimDriverPort port_;
  Installed installed_;
  ArrivalWaiter waiter_;
  UsbDevice device_;
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

struct Slot {
  Event Done{false, false};
  Overlapped Record;
  UsbEndpoint::RequestContext* Context = nullptr;
  std::vector<uint8_t> Data;
  Slot() { Record.hEvent = &Done; }
};

// Mb/s of a bare queue of transfers on one endpoint kept running for `seconds`; *cpu
// gets the process CPU seconds it took.
double BareQueue(UsbEndpoint* in, double seconds, int32_t size = kBlock, int depth = kDepth,
                 double* cpu = nullptr) {
  SendPlugRequest(PlugCommand::BenchmarkStart, PLUG_REQUEST_OUT, nullptr, 0);
  std::vector<Slot> slots(depth);
  for (Slot& s : slots) s.Data.resize(size);
  // Timed from the first submission, as the engine times its first block.
  int64_t bytes = 0;
  const double cpuStart = ProcessCpuSeconds();
  const int64_t start = QueryPerformanceCounter();
  const Clock::time_point wallStart = Clock::now();
  for (Slot& s : slots) s.Context = in->SubmitTransfer(s.Data.data(), size, &s.Record);
  while (Seconds(wallStart) < seconds) {
    for (Slot& s : slots) {
      in->AwaitTransfer(&s.Record, 2000);
      int32_t length = size;
      if (in->CompleteTransfer(s.Data.data(), length, &s.Record, s.Context)) bytes += size;
      s.Context = in->SubmitTransfer(s.Data.data(), size, &s.Record);
    }
  }
  const int64_t end = QueryPerformanceCounter();
  if (cpu) *cpu = ProcessCpuSeconds() - cpuStart;
  in->AbortTransfers();
  for (Slot& s : slots) {
    int32_t length = size;
    in->CompleteTransfer(s.Data.data(), length, &s.Record, s.Context);
  }
  SendPlugRequest(PlugCommand::BenchmarkEnd, PLUG_REQUEST_OUT, nullptr, 0);
  return RateMbps(static_cast<double>(bytes),
                  TicksToMicroseconds(end - start, QueryPerformanceFrequency()));
}

// Mb/s and pairs per second of bare write+read pairs for `seconds`.
std::pair<double, double> BarePairs(UsbDevice& device, double seconds) {
  UsbEndpoint* out = device.BulkOutEndpoint;
  UsbEndpoint* in = device.BulkInEndpoint;
  out->TimeoutMs = 3000;
  in->TimeoutMs = 3000;
  std::vector<uint8_t> sent(kBlock, 0x8C), received(kBlock);
  int64_t pairs = 0;
  double measuredUs = 0;
  const int64_t frequency = QueryPerformanceFrequency();
  const Clock::time_point start = Clock::now();
  while (Seconds(start) < seconds) {
    const int64_t t0 = QueryPerformanceCounter();
    int32_t length = kBlock;
    out->TransferSync(sent.data(), length);
    length = kBlock;
    in->TransferSync(received.data(), length);
    measuredUs += TicksToMicroseconds(QueryPerformanceCounter() - t0, frequency);
    ++pairs;
  }
  const double wall = Seconds(start);
  return {RateMbps(2.0 * kBlock * static_cast<double>(pairs), measuredUs), pairs / wall};
}

void LoopbackThread() {
  LoopbackTestThread(nullptr);
}
void BenchmarkThread() {
  BenchmarkControlThread(nullptr);
}

// Loops per second of a loopback run, counted after the start-up.
double LoopRate(double seconds, double* reported) {
  uint32_t firstLoops = 0;
  Clock::time_point first;
  double measured = 0;
  Rig::Clear();
  Rig::Run(LoopbackThread, seconds, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first = Clock::now();
    firstLoops = TestStats.PublishedLoopCount;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds - 0.15));
    measured = (TestStats.PublishedLoopCount - firstLoops) / Seconds(first);
  });
  if (reported) *reported = Rig::Rate("Average Rate: ");
  return measured;
}

void BM_BenchmarkReadOverhead(benchmark::State& state) {
  Rig rig("rate=unlimited,reenum-ms=1");
  if (!rig.Ok() || !rig.Configure(TestConfigRecord::Benchmark, TestConfigRecord::ReadOnly)) {
    state.SkipWithError("simulated plug did not come up in benchmark mode");
    return;
  }
  TransferSize = kBlock;
  QueueSize = kDepth;
  std::vector<double> reported, wall, cpu, movedWall, movedCpu, reportedVsMoved;
  double engineRate = 0, bareRate = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      Rig::Clear();
      const uint64_t movedBefore = rig.Port().MovedBytes(0);
      const double cpuStart = ProcessCpuSeconds();
      const double ran = Rig::Run(BenchmarkThread, 0.6);
      const double engineCpu = ProcessCpuSeconds() - cpuStart;
      // Megabits the engine's reads moved, whether or not the controller counted them.
      const double moved =
          static_cast<double>(rig.Port().MovedBytes(0) - movedBefore) * 8.0 / 1048576.0;
      const double engine = Rig::Rate("Average Read Data Rate: ");
      // "Total number of bytes read: N MB"
      const double megabytes = Rig::Rate("Total number of bytes read: ");
      double bareCpu = 0;
      const double bare = BareQueue(rig.Device().BulkInEndpoint, 0.6, kBlock, kDepth, &bareCpu);
      reported.push_back(engine / bare);
      wall.push_back(megabytes * 8.0 / ran / bare);
      // Data per CPU second, whichever thread spent it: what a busy machine cannot skew.
      cpu.push_back((megabytes * 8.0 / engineCpu) / (bare * 0.6 / bareCpu));
      movedWall.push_back(moved / ran / bare);
      movedCpu.push_back((moved / engineCpu) / (bare * 0.6 / bareCpu));
      reportedVsMoved.push_back(engine / (moved / ran));
      engineRate += engine / kRounds;
      bareRate += bare / kRounds;
    }
  }
  state.counters["cpu_ratio"] = Median(cpu);
  state.counters["engine_Mb/s"] = engineRate;
  state.counters["bare_Mb/s"] = bareRate;
  state.counters["reported_ratio"] = Median(reported);
  state.counters["wall_ratio"] = Median(wall);
  state.counters["wall_ratio_min"] = *std::min_element(wall.begin(), wall.end());
  state.counters["moved_wall_ratio"] = Median(movedWall);
  state.counters["moved_cpu_ratio"] = Median(movedCpu);
  state.counters["reported_vs_moved"] = Median(reportedVsMoved);
}
BENCHMARK(BM_BenchmarkReadOverhead)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_LoopbackOverhead(benchmark::State& state) {
  Rig rig("rate=unlimited");
  if (!rig.Ok()) {
    state.SkipWithError("no simulated plug");
    return;
  }
  std::vector<double> wall, reported, wallVerified;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      double engineReported = 0;
      TestConfig.VerifyData = 0;
      const double loops = LoopRate(0.5, &engineReported);
      TestConfig.VerifyData = 1;
      const double verifiedLoops = LoopRate(0.5, nullptr);
      const auto [bareRate, barePairs] = BarePairs(rig.Device(), 0.4);
      wall.push_back(loops / barePairs);
      wallVerified.push_back(verifiedLoops / barePairs);
      reported.push_back(engineReported / bareRate);
    }
  }
  state.counters["wall_ratio"] = Median(wall);
  state.counters["wall_ratio_min"] = *std::min_element(wall.begin(), wall.end());
  state.counters["reported_ratio"] = Median(reported);
  state.counters["wall_ratio_verified"] = Median(wallVerified);
}
BENCHMARK(BM_LoopbackOverhead)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Mb/s the plug model gives a stream of transfers of `bytes` at 400 MB/s.
double ModelMbps(double bytes) {
  const double seconds = 20e-6 + bytes / (400.0 * 1048576.0);
  return bytes * 8.0 / 1048576.0 / seconds;
}

void BM_BenchmarkAccuracyAt400(benchmark::State& state) {
  const double model = ModelMbps(2097152);
  for (auto _ : state) {
    for (uint32_t mode : {TestConfigRecord::ReadOnly, TestConfigRecord::WriteOnly}) {
      Rig rig("rate=400,reenum-ms=1");
      if (!rig.Ok() || !rig.Configure(TestConfigRecord::Benchmark, mode)) {
        state.SkipWithError("simulated plug did not come up in benchmark mode");
        return;
      }
      QueueSize = 16;  // blocks of 32 MiB, about 80 ms each
      const bool read = mode == TestConfigRecord::ReadOnly;
      const char* side = read ? "read" : "write";
      std::vector<double> average, minimum, maximum, bare;
      for (int round = 0; round < 3; ++round) {
        Rig::Clear();
        Rig::Run(BenchmarkThread, 1.5);
        average.push_back(
            Rig::Rate(read ? "Average Read Data Rate: " : "Average Write Data Rate: ") / model);
        minimum.push_back(
            Rig::Rate(read ? "Minimum Read Data Rate: " : "Minimum Write Data Rate: ") / model);
        maximum.push_back(
            Rig::Rate(read ? "Maximum Read Data Rate: " : "Maximum Write Data Rate: ") / model);
        // What the plug delivers to a bare queue of the same shape in the same run.
        bare.push_back(
            BareQueue(read ? TestInEndpoint.load() : TestOutEndpoint.load(), 1.0, 2097152, 16) /
            model);
      }
      state.counters[std::string(side) + "_avg_ratio"] = Median(average);
      state.counters[std::string(side) + "_bare_ratio"] = Median(bare);
      state.counters[std::string(side) + "_engine_vs_bare"] = Median(average) / Median(bare);
      state.counters[std::string(side) + "_block_min"] =
          *std::min_element(minimum.begin(), minimum.end());
      state.counters[std::string(side) + "_block_max"] =
          *std::max_element(maximum.begin(), maximum.end());
    }
  }
  state.counters["model_Mb/s"] = model;
}
BENCHMARK(BM_BenchmarkAccuracyAt400)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_LoopbackAccuracyAt400(benchmark::State& state) {
  Rig rig("rate=400");
  if (!rig.Ok()) {
    state.SkipWithError("no simulated plug");
    return;
  }
  // A round trip is one 64 KiB write and one 64 KiB read, back to back.
  const double model = ModelMbps(kBlock);
  std::vector<double> engine, bare, minimum, maximum, tenLoops;
  for (auto _ : state) {
    for (int round = 0; round < 3; ++round) {
      double reported = 0;
      LoopRate(1.0, &reported);
      engine.push_back(reported / model);
      for (double rate : Rig::RatesAfter(", Avg Speed ")) tenLoops.push_back(rate / model);
      minimum.push_back(Rig::Rate("Minimum Data Rate: ") / model);
      maximum.push_back(Rig::Rate("Maximum Data Rate: ") / model);
      bare.push_back(BarePairs(rig.Device(), 0.5).first / model);
    }
  }
  state.counters["model_Mb/s"] = model;
  state.counters["avg_ratio"] = Median(engine);
  state.counters["bare_ratio"] = Median(bare);
  state.counters["engine_vs_bare"] = Median(engine) / Median(bare);
  state.counters["loop_min_ratio"] = *std::min_element(minimum.begin(), minimum.end());
  state.counters["loop_max_ratio"] = *std::max_element(maximum.begin(), maximum.end());
  // The engine's own ten-loop lines: their median is what the loops take when the
  // machine lets the threads run, apart from the stalls another process causes.
  state.counters["ten_loop_median_ratio"] = Median(tenLoops);
}
BENCHMARK(BM_LoopbackAccuracyAt400)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_LoopbackVerboseLogging(benchmark::State& state) {
  Rig rig("rate=unlimited");
  if (!rig.Ok()) {
    state.SkipWithError("no simulated plug");
    return;
  }
  // The window as the tool runs it: a UI thread that takes the coalesced log updates
  // and repaints, while the engine adds records.
  ui::headless::HeadlessWindowSystem system;
  ui::SetWindowSystem(&system);
  std::thread uiThread([&system] { system.RunMessageLoop(); });
  ui::Window* main = system.CreateDialog("TARNWICK", nullptr, nullptr);
  // Count the drawing calls but do not keep them.
  static_cast<ui::headless::HeadlessWindow*>(main->Control(res::IDC_LOG_PANEL))
      ->Drawing()
      ->SetKeepCalls(false);
  system.Invoke([main] {
    KeepDialogHandles(main);
    CreateDrawingObjects(96);
    LayoutLogArea(main, 0, 0);
  });
  // Verbose against quiet, first with the records only, then with every record
  // repainting the log view as the window does.
  std::vector<double> bare, painted;
  double quiet = 0, verbose = 0;
  for (auto _ : state) {
    for (bool paint : {false, true}) {
      if (paint) InstallLogDisplayHook();
      for (int round = 0; round < kRounds; ++round) {
        TestConfig.VerboseLogging = 0;
        const double q = LoopRate(0.5, nullptr);
        TestConfig.VerboseLogging = 1;
        const double v = LoopRate(0.5, nullptr);
        (paint ? painted : bare).push_back(v / q);
        if (paint) {
          quiet += q / kRounds;
          verbose += v / kRounds;
        }
      }
    }
  }
  TestConfig.VerboseLogging = 0;
  SetLogRecordAddedHook(nullptr);
  system.Invoke([] { KeepDialogHandles(nullptr); });
  system.Quit(0);
  uiThread.join();
  ui::SetWindowSystem(nullptr);
  state.counters["loops/s"] = quiet;
  state.counters["verbose_loops/s"] = verbose;
  state.counters["verbose_ratio"] = Median(painted);
  state.counters["verbose_ratio_unpainted"] = Median(bare);
}
BENCHMARK(BM_LoopbackVerboseLogging)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
