// Sending the configuration to a simulated plug: what goes on the wire, when, and the
// records that go with it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engines/configuration.h"
#include "engines/log_capture.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "plug/sim_bus.h"
#include "protocol/plug_ids.h"
#include "usb/usb_device.h"

using ::testing::ElementsAre;

namespace {

constexpr char kReenumeration[] = "Starting plug re-enumeration due to config change";

class ApplyConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    bus_ = std::make_unique<SimBus>("reenum-ms=600000");
    device_ = std::make_unique<UsbDevice>(nullptr, PLUG_INTERFACE_CLASS, true);
    ASSERT_NE(device_->DeviceHandle, INVALID_DRIVER_HANDLE);
    PlugDevice = device_.get();
    bus_->ClearRecord();
  }
  void TearDown() override {
    PlugDevice = nullptr;
    device_.reset();
    bus_.reset();
    ResetPlugMonitorState();
    ResetTestConfig();
  }

  // The configuration blocks the plug was sent, in order.
  std::vector<PlugConfigBlock> SentBlocks() const {
    std::vector<PlugConfigBlock> blocks;
    for (const SimBus::VendorCall& call : bus_->VendorCalls()) {
      EXPECT_EQ(call.Command, PlugCommand::Configure);
      EXPECT_TRUE(call.Out);
      EXPECT_EQ(call.Data.size(), PLUG_CONFIG_BLOCK_SIZE);
      PlugConfigBlock block{};
      std::copy_n(call.Data.begin(), std::min(call.Data.size(), block.size()), block.begin());
      blocks.push_back(block);
    }
    return blocks;
  }

  LogCapture log_;
  std::unique_ptr<SimBus> bus_;
  std::unique_ptr<UsbDevice> device_;
};

TEST_F(ApplyConfigTest, SendsOnlyWhatChangedUnlessForced) {
  // The first block always goes: nothing was sent before.
  ApplyConfigToPlug(false);
  const PlugConfigBlock first = BuildPlugConfigBlock(TestConfig);
  EXPECT_THAT(SentBlocks(), ElementsAre(first));
  EXPECT_EQ(LastSentPlugConfig, first);
  EXPECT_TRUE(ReenumerationPending);
  EXPECT_THAT(log_.Texts(), ElementsAre(kReenumeration));

  // The same configuration again: nothing on the wire, no record, no re-enumeration.
  ReenumerationPending = false;
  ApplyConfigToPlug(false);
  EXPECT_EQ(SentBlocks().size(), 1u);
  EXPECT_FALSE(ReenumerationPending);
  EXPECT_EQ(log_.Texts().size(), 1u);

  // Forced, the same block goes once more.
  ApplyConfigToPlug(true);
  EXPECT_THAT(SentBlocks(), ElementsAre(first, first));
  EXPECT_TRUE(ReenumerationPending);

  // One byte of difference is enough.
  TestConfig.PollingInterval = 2;
  ApplyConfigToPlug(false);
  ASSERT_EQ(SentBlocks().size(), 3u);
  EXPECT_EQ(SentBlocks()[2][5], 2);
  EXPECT_EQ(LastSentPlugConfig, SentBlocks()[2]);
  EXPECT_THAT(log_.Texts(), ElementsAre(kReenumeration, kReenumeration, kReenumeration));

  // The plug took it: it leaves the bus to come back with the new layout.
  EXPECT_TRUE(WaitUntil([&] { return !bus_->Sim().PlugPresent(0); }));
}

TEST_F(ApplyConfigTest, CorrectionsComeFirstAndShapeTheBlock) {
  TestConfig.TestMode = TestConfigRecord::Loopback;
  TestConfig.EndpointType = TestConfigRecord::Isochronous;
  TestConfig.ConnectionType = TestConfigRecord::FullSpeed;
  TestConfig.BurstLength = 16;
  TestConfig.IsoPacketsPerInterval = 3;
  ApplyConfigToPlug(false);

  EXPECT_THAT(
      log_.Texts(),
      ElementsAre("Endpoint Type changed to BULK due to selecting loopback test",
                  "Burst Length changed to 1 due to selecting a HS/FS device",
                  "ISO Packets/PI changed to 1 due to selecting a HS/FS device", kReenumeration));
  ASSERT_EQ(SentBlocks().size(), 1u);
  const PlugConfigBlock sent = SentBlocks()[0];
  EXPECT_EQ(sent[1], 2);  // bulk
  EXPECT_EQ(sent[7], 1);  // one packet per interval
  // 1 packet x 1 burst x 64 bytes at full speed.
  EXPECT_EQ(sent[8], 64);
  EXPECT_EQ(sent[9], 0);
  EXPECT_EQ(sent[10], 1);

  // The corrected configuration is what is compared next time: no second block.
  ApplyConfigToPlug(false);
  EXPECT_EQ(SentBlocks().size(), 1u);
}

}  // namespace
