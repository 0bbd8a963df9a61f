// The plug display monitor against a simulated plug, walked pass by pass through its
// pauses.
#include "plug/plug_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "engines/configuration.h"
#include "engines/log_capture.h"
#include "plug/monitor_pause_gate.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "plug/sim_bus.h"
#include "protocol/plug_ids.h"
#include "usb/usb_device.h"

namespace {

constexpr char kConnected[] = "Voltage read thread now connected to USB device";
constexpr char kTimeout[] = "Timeout reading voltage level, device might be busy";

class PlugMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    TestConfig.VerboseLogging = 1;
    bus_ = std::make_unique<SimBus>("reenum-ms=1");
    device_ = std::make_unique<UsbDevice>(nullptr, PLUG_INTERFACE_CLASS, true);
    ASSERT_NE(device_->DeviceHandle, INVALID_DRIVER_HANDLE);
    PlugDevice = device_.get();
    PlugConnected = true;
    SetPlugMonitorPause([this](uint32_t milliseconds) { gate_.Pause(milliseconds); });
  }
  void TearDown() override {
    Stop();
    PlugDevice = nullptr;
    device_.reset();
    bus_.reset();
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
  }

  void Start() {
    thread_ = std::thread([this] {
      PlugMonitorThread(nullptr);
      ended_ = true;
    });
  }
  // Bounded: a monitor that does not end fails the test instead of hanging it.
  bool Stop() {
    AppRunning = false;
    gate_.Open();
    const bool ended = !thread_.joinable() || WaitUntil([this] { return ended_.load(); });
    if (ended && thread_.joinable()) thread_.join();
    if (!ended) thread_.detach();
    return ended;
  }

  // Reopens the plug as a reselection does: the monitor is told first.
  void Reopen() {
    std::lock_guard guard(PlugSelectionLock);
    MonitorReconnect = true;
    ASSERT_TRUE(device_->Open(0));
  }

  int Records(const std::string& text) {
    const auto texts = log_.Texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
  static bool Blank() { return PlugDisplayImage.Load() == PlugDisplayBitmap{}; }
  UsbEndpoint* DisplayEndpointOfTheOpenPlug() const {
    for (uint8_t i = 0; i < device_->CountEndpoints(); ++i) {
      if (device_->EndpointTable[i]->bEndpointAddress == PLUG_DISPLAY_ENDPOINT)
        return device_->EndpointTable[i];
    }
    return nullptr;
  }

  LogCapture log_;
  std::unique_ptr<SimBus> bus_;
  std::unique_ptr<UsbDevice> device_;
  MonitorPauseGate gate_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
};

TEST_F(PlugMonitorTest, IdleItReadsOneImageASecondAndDuringATestNone) {
  Start();
  for (size_t read = 1; read <= 3; ++read) {
    ASSERT_EQ(gate_.Next(), 1000u) << "after read " << read;
    EXPECT_EQ(bus_->DisplayReads(), read);
  }
  UsbEndpoint* endpoint = MonitorEndpoint;
  ASSERT_NE(endpoint, nullptr);
  EXPECT_EQ(endpoint, DisplayEndpointOfTheOpenPlug());
  EXPECT_EQ(endpoint->TimeoutMs, 50u);
  EXPECT_FALSE(MonitorReconnect);
  EXPECT_FALSE(Blank());
  EXPECT_EQ(Records(kTimeout), 0);

  MonitorMayRun = false;
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_EQ(gate_.Next(), 100u);
    EXPECT_TRUE(MonitorPaused);
  }
  EXPECT_EQ(bus_->DisplayReads(), 3u);
  // Resumed without a lookup, which would set the time-out again.
  endpoint->TimeoutMs = 77;
  MonitorMayRun = true;
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_FALSE(MonitorPaused);
  EXPECT_EQ(bus_->DisplayReads(), 4u);
  EXPECT_EQ(MonitorEndpoint.load(), endpoint);
  EXPECT_EQ(endpoint->TimeoutMs, 77u);
  EXPECT_EQ(Records(kConnected), 1);
}

TEST_F(PlugMonitorTest, AFailedReadBlanksTheImageAndIsLoggedOncePerRead) {
  Start();
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_FALSE(Blank());
  bus_->Sim().UnplugNow(0, 600000);
  ASSERT_TRUE(WaitUntil([&] { return !bus_->Sim().PlugPresent(0); }));
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_TRUE(Blank());
  EXPECT_EQ(Records(kTimeout), 1);
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_EQ(Records(kTimeout), 2);
  EXPECT_EQ(bus_->DisplayReads(), 3u);

  // Quietly without verbose logging.
  TestConfig.VerboseLogging = 0;
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_EQ(Records(kTimeout), 2);
}

TEST_F(PlugMonitorTest, TheEndpointIsLookedUpOnlyForAReadyPlugAndAgainAfterAReopening) {
  Start();
  ASSERT_EQ(gate_.Next(), 1000u);
  // As a reselection does it: the monitor is told, then the plug closed.
  MonitorReconnect = true;
  PlugConnected = false;
  {
    std::lock_guard guard(PlugSelectionLock);
    device_->CloseDevice();
  }
  // Every pass without an endpoint pauses: while the plug is not ready, and while it
  // is ready but not open.
  ASSERT_EQ(gate_.Next(), 100u);
  EXPECT_TRUE(Blank());
  EXPECT_EQ(MonitorEndpoint.load(), nullptr);
  ASSERT_EQ(gate_.Next(), 100u);
  PlugConnected = true;
  ASSERT_EQ(gate_.Next(), 100u);
  ASSERT_EQ(gate_.Next(), 100u);
  EXPECT_EQ(bus_->DisplayReads(), 1u);

  Reopen();
  ASSERT_EQ(gate_.Next(), 1000u);
  EXPECT_EQ(bus_->DisplayReads(), 2u);
  EXPECT_EQ(MonitorEndpoint.load(), DisplayEndpointOfTheOpenPlug());
  EXPECT_FALSE(MonitorReconnect);
  EXPECT_FALSE(Blank());
  EXPECT_EQ(Records(kConnected), 2);
}

TEST_F(PlugMonitorTest, ClosingTheProgramEndsTheThread) {
  AppRunning = false;
  Start();
  ASSERT_TRUE(WaitUntil([&] { return ended_.load(); }));
  EXPECT_EQ(gate_.Count(), 0u);
  EXPECT_EQ(bus_->DisplayReads(), 0u);
  thread_.join();

  // Mid-read: the read loop ends too, instead of reading on.
  AppRunning = true;
  ended_ = false;
  Start();
  ASSERT_EQ(gate_.Next(), 1000u);
  AppRunning = false;
  gate_.Open();
  ASSERT_TRUE(WaitUntil([&] { return ended_.load(); }));
  EXPECT_EQ(bus_->DisplayReads(), 1u);
}

// The monitor and the plug requests of other threads share the plug with its
// reopening: neither may ever meet a device that is half closed or half opened.
TEST_F(PlugMonitorTest, ReopeningThePlugUnderReadsAndRequestsIsSafe) {
  SetPlugMonitorPause([](uint32_t) { std::this_thread::yield(); });
  Start();
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0}, failed{0};
  std::thread requester([&] {
    while (!stop) {
      uint8_t reply[4];
      if (SendPlugRequest(PlugCommand::Speed, PLUG_REQUEST_IN, reply, sizeof reply) != 1) ++failed;
      ++requests;
    }
  });
  for (int i = 0; i < 60; ++i) {
    Reopen();
    const size_t reads = bus_->DisplayReads();
    ASSERT_TRUE(WaitUntil([&] { return bus_->DisplayReads() > reads && requests > 0; }));
  }
  stop = true;
  requester.join();
  ASSERT_TRUE(Stop());
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(Records(kTimeout), 0);
  EXPECT_GE(Records(kConnected), 2);
}

}  // namespace
