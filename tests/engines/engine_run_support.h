// Engine runs against a simulated plug opened through the real UsbDevice, with the
// event log captured, the shell's calls and message boxes recorded, and the plug's
// removal handled as the window does it (a handle notice clears PlugConnected).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/benchmark_sync.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/engine_timing.h"
#include "engines/log_capture.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "sim/sim_test_support.h"
#include "usb/usb_device.h"

// Stands in for the window's device-change handling.
class PlugWatcher : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    if (notice.Event == DBT_DEVICEREMOVECOMPLETE && !notice.IsInterface) PlugConnected = false;
    if (notice.Event == DBT_DEVICEARRIVAL) ++arrivals_;
    changed_.notify_all();
  }
  // Waits (bounded) for one more arrival than `seen`.
  bool ArrivedAfter(int seen) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrivals_ > seen; });
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

class EngineRun : public ::testing::Test {
 protected:
  // Any non-null pointer: the engines only hand it back to the shell.
  ui::Window* const window_ = reinterpret_cast<ui::Window*>(&shellLock_);

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
    shellCalls_ = {};
    shellCalls_.DrawResults = [this](ui::Window* w, int32_t kind, int32_t speed) {
      Record(w, Format8("draw %d %d", kind, speed));
    };
    shellCalls_.RestoreIdleControls = [this](ui::Window* w) { Record(w, "restore"); };
    InstallShellCalls(shellCalls_);
    SetMessageBoxHandler([this](void* w, std::u16string_view text, std::u16string_view, uint32_t) {
      Record(static_cast<ui::Window*>(w), "box " + Utf16ToUtf8(text));
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

  // A fresh start inside one test, for table-driven runs.
  void Restart() {
    TearDown();
    std::lock_guard lock(LogRecord->Lock());
    LogRecord->Clear();
    std::lock_guard shellLock(shellLock_);
    shell_.clear();
    SetUp();
  }

  // A simulated plug, opened and ready as plug selection leaves it; reconfigurations
  // come back at once.
  void OpenPlug(const std::string& options) {
    const std::string text = "reenum-ms=1," + options;
    const SimOptions parsed = Options(text.c_str());
    sim_ = std::make_unique<InstalledSim>(text.c_str());
    device_ = std::make_unique<UsbDevice>(&watcher_, PLUG_INTERFACE_CLASS, true);
    ASSERT_NE(device_->DeviceHandle, INVALID_DRIVER_HANDLE);
    PlugDevice = device_.get();
    PlugConnected = true;
    FirmwareNumber = parsed.HasFirmware ? parsed.Firmware : 0;
    TestConfig.ConnectionType = parsed.Speed;
    ApplySpeedDefaults();
  }

  // Sends TestConfig to the plug and reopens it once it is back with its new layout.
  void ConfigurePlug() {
    CorrectTestConfig();
    PlugConfigBlock block = BuildPlugConfigBlock(TestConfig);
    const int seen = watcher_.Arrivals();
    ASSERT_EQ(SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, block.data(), 14), 1u);
    ASSERT_TRUE(watcher_.ArrivedAfter(seen));
    ASSERT_TRUE(device_->Open(0));
    PlugConnected = true;
  }

  void Start(void (*engine)(ui::Window*), bool stopped = false) {
    TestStopped = stopped;
    TestStats.RunStartTime = CalendarTime();
    ui::Window* window = window_;
    ASSERT_TRUE(StartEngineThread([engine, window] { engine(window); }));
  }

  // Polls the running engine; bounded so that a broken build fails instead of hanging.
  static bool WaitUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Waits for the engine to end; every thread, count and request it made must be gone.
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
  // The shell calls in order: "draw <kind> <speed>", "restore", "box <text>".
  std::vector<std::string> Shell() {
    std::lock_guard lock(shellLock_);
    return shell_;
  }

  LogCapture log_;
  ShellCallTable shellCalls_;  // the recording calls, for tests that add observers
  std::unique_ptr<InstalledSim> sim_;
  PlugWatcher watcher_;
  std::unique_ptr<UsbDevice> device_;

 private:
  void Record(ui::Window* window, std::string call) {
    EXPECT_EQ(window, window_);
    std::lock_guard lock(shellLock_);
    shell_.push_back(std::move(call));
  }
  std::mutex shellLock_;
  std::vector<std::string> shell_;
};
