// Engine runs against a simulated plug opened through the real UsbDevice, with the
// shell's calls and message boxes recorded, the event log captured, and the plug's
// removal handled the way the window does it (a handle notice clears PlugConnected).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/benchmark_sync.h"
#include "engines/benchmark_test.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/engine_timing.h"
#include "engines/log_capture.h"
#include "engines/loopback_test.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "sim/sim_test_support.h"
#include "usb/plug_ids.h"
#include "usb/usb_device.h"

// What the engines asked of the shell.
struct ShellRecord {
  struct Draw {
    int32_t kind, speed;
    bool operator==(const Draw&) const = default;
  };
  std::mutex lock;
  std::vector<Draw> draws;
  int restores = 0;
  std::vector<std::u16string> messageBoxes;
};

// Stands in for the window's device-change handling.
class PlugWatcher : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    if (notice.Event == DBT_DEVICEREMOVECOMPLETE && !notice.IsInterface) PlugConnected = false;
    if (notice.Event == DBT_DEVICEARRIVAL) ++arrivals_;
    changed_.notify_all();
  }
  int Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  bool WaitForArrivals(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrivals_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrivals_ = 0;
};

class EngineRun : public ::testing::Test {
 protected:
  // Any non-null pointer: the engines only hand it back to the shell.
  ui::Window* const window_ = reinterpret_cast<ui::Window*>(&shell_);

  void SetUp() override {
    ResetTestStats();
    ResetRunState();
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetEngineTiming();
    SetConfigDefaults();
    TestConfig.SaveLogAtEnd = 0;
    TestStats.CounterFrequency = QueryPerformanceFrequency();
    // Missed blocks and hung transfers are found out in milliseconds, not seconds.
    EngineTiming.BlockWaitMs = 20;
    EngineTiming.EitherBlockWaitMs = 20;
    EngineTiming.WorkerTransferWaitMs = 400;
    EngineTiming.WorkerRecoveryPauseMs = 5;
    CreateBenchmarkSyncObjects();
    ShellCallTable calls;
    calls.DrawResults = [this](ui::Window* w, int32_t kind, int32_t speed) {
      EXPECT_EQ(w, window_);
      std::lock_guard lock(shell_.lock);
      shell_.draws.push_back({kind, speed});
    };
    calls.RestoreIdleControls = [this](ui::Window* w) {
      EXPECT_EQ(w, window_);
      std::lock_guard lock(shell_.lock);
      ++shell_.restores;
    };
    InstallShellCalls(calls);
    SetMessageBoxHandler([this](void*, std::u16string_view text, std::u16string_view, uint32_t) {
      std::lock_guard lock(shell_.lock);
      shell_.messageBoxes.emplace_back(text);
      return IDOK;
    });
  }

  void TearDown() override {
    if (EngineThreadsAlive() > 0) {
      StopTest();
      EXPECT_TRUE(WaitForEngineThreads(20000)) << "an engine thread did not end";
    }
    PlugDevice = nullptr;
    device_.reset();
    sim_.reset();
    EXPECT_TRUE(ReleaseBenchmarkSyncObjects());
    ResetShellCalls();
    SetMessageBoxHandler({});
    ResetEngineTiming();
    SetConfigDefaults();
  }

  // A fresh start inside one test, for table-driven runs: everything as SetUp left it,
  // the log and the shell's record emptied.
  void Restart() {
    TearDown();
    {
      std::lock_guard lock(LogRecord->Lock());
      LogRecord->Clear();
    }
    {
      std::lock_guard lock(shell_.lock);
      shell_.draws.clear();
      shell_.restores = 0;
      shell_.messageBoxes.clear();
    }
    SetUp();
  }

  // A simulated plug, opened and ready as plug selection leaves it.
  void OpenPlug(const char* options) {
    // Reconfigurations come back at once unless a test asks otherwise.
    const std::string text = std::string("reenum-ms=1,") + options;
    const SimOptions parsed = Options(text.c_str());
    sim_ = std::make_unique<InstalledSim>(text.c_str());
    device_ = std::make_unique<UsbDevice>(&watcher_, PLUG_INTERFACE_CLASS, true);
    ASSERT_NE(device_->DeviceHandle, INVALID_DRIVER_HANDLE);
    PlugDevice = device_.get();
    PlugConnected = true;
    FirmwareNumber = parsed.HasFirmware ? parsed.Firmware : 0;
    SelectedDeviceNumber = 0;
    TestConfig.ConnectionType = parsed.Speed;
    ApplySpeedDefaults();
  }

  // Sends TestConfig to the plug and reopens it once it is back with its new layout.
  void ConfigurePlug() {
    CorrectTestConfig();
    PlugConfigBlock block = BuildPlugConfigBlock(TestConfig);
    const int arrivals = watcher_.Arrivals();
    ASSERT_EQ(SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, block.data(), 14), 1u);
    ASSERT_TRUE(watcher_.WaitForArrivals(arrivals + 1));
    ASSERT_TRUE(device_->Open(0));
    PlugConnected = true;
  }

  void SetUpBenchmark(uint32_t mode, uint32_t endpointType = TestConfigRecord::Bulk) {
    TestConfig.TestMode = TestConfigRecord::Benchmark;
    TestConfig.BenchmarkMode = mode;
    TestConfig.EndpointType = endpointType;
    if (endpointType == TestConfigRecord::Isochronous) {
      TestConfig.InEndpointNumber = 3;
      TestConfig.OutEndpointNumber = 3;
    }
    ApplySpeedDefaults();
    ConfigurePlug();
  }

  void Start(void (*engine)(ui::Window*)) {
    TestStopped = false;
    TestStats.RunStartTime = CalendarTime();
    ui::Window* window = window_;
    ASSERT_TRUE(StartEngineThread([engine, window] { engine(window); }));
  }

  // Polls a condition of the running engine; bounded so that a broken build fails
  // instead of hanging.
  static bool WaitUntil(const std::function<bool()>& condition, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Waits for the engine to end by itself; every thread, count and request it made
  // must be gone.
  void WaitForEnd() {
    ASSERT_TRUE(WaitForEngineThreads(30000)) << "the engine did not end";
    EXPECT_EQ(RunningTestThreads, 0);
    EXPECT_TRUE(TestStopped);
    EXPECT_TRUE(MonitorMayRun);
    EXPECT_EQ(TestStats.RunStartTime, 0);
    if (sim_) {
      EXPECT_EQ(sim_->port->PendingRequests(0), 0u);
    }
  }

  void StopAndWait() {
    StopTest();
    WaitForEnd();
  }

  // Runs exactly this many loops: at a load of 49 every loop ends with a pause of 0 ms,
  // and the pause that ends loop n stops the run.
  void RunExactly(uint32_t loops) {
    TestConfig.LoopbackLoad = 49;
    LoopPauses::Arm(loops);
    EngineTiming.Pause = LoopPauses::Pause;
    Start(LoopbackTestThread);
    WaitForEnd();
    EXPECT_EQ(TestStats.PublishedLoopCount, loops);
  }

  struct LoopPauses {
    static inline std::atomic<uint32_t> left{0};
    static void Arm(uint32_t loops) { left = loops; }
    static void Pause(uint32_t milliseconds) {
      if (milliseconds == 0 && left > 0 && --left == 0) StopTest();
    }
  };

  void RunLoopsAndStop(uint32_t loops) {
    Start(LoopbackTestThread);
    ASSERT_TRUE(WaitUntil([&] { return TestStats.PublishedLoopCount >= loops || TestStopped; }));
    StopAndWait();
  }

  std::vector<std::string> Lines() { return log_.Texts(); }
  int Count(const std::string& text) {
    const auto lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
  int CountStartingWith(const std::string& prefix) {
    int n = 0;
    for (const std::string& line : Lines()) n += line.rfind(prefix, 0) == 0;
    return n;
  }
  bool Has(const std::string& text) { return Count(text) > 0; }
  // The records from the first one with this text on, or none.
  std::vector<CapturedRecord> From(const std::string& text) {
    const auto records = log_.Records();
    auto it = std::find_if(records.begin(), records.end(),
                           [&](const CapturedRecord& r) { return r.text == text; });
    return std::vector<CapturedRecord>(it, records.end());
  }
  std::vector<ShellRecord::Draw> Draws() {
    std::lock_guard lock(shell_.lock);
    return shell_.draws;
  }
  int Restores() {
    std::lock_guard lock(shell_.lock);
    return shell_.restores;
  }
  std::vector<std::u16string> MessageBoxes() {
    std::lock_guard lock(shell_.lock);
    return shell_.messageBoxes;
  }

  // The Mb/s and MB/s figures of a rate line.
  static std::pair<double, double> RateOf(const std::string& line) {
    double mbps = -1, megabytes = -1;
    const size_t at = line.rfind(": ");
    const std::string tail = at == std::string::npos ? line : line.substr(at + 2);
    if (std::sscanf(tail.c_str(), "%lf Mb/s (%lf MB/s)", &mbps, &megabytes) != 2) return {-1, -1};
    return {mbps, megabytes};
  }
  double RateIn(const std::string& prefix) {
    for (const std::string& line : Lines()) {
      if (line.rfind(prefix, 0) == 0) return RateOf(line).first;
    }
    return -1;
  }

  ShellRecord shell_;
  LogCapture log_;
  std::unique_ptr<InstalledSim> sim_;
  PlugWatcher watcher_;
  std::unique_ptr<UsbDevice> device_;
};
