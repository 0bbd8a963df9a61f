// The plug's descriptors at every speed, read back by the program's own parser: a
// gadget transport hands all three speeds to its kernel at once, so each must be a
// valid set for every layout the plug can be configured to.
#include "firmware/device_descriptors.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/config_block.h"
#include "protocol/plug_commands.h"
#include "usb/descriptor_tree.h"

namespace {

using Bytes = std::vector<uint8_t>;

PlugModel Configured(const PlugConfigBlock& block) {
  PlugIdentity identity;
  identity.Serial = "D0001";
  PlugModel model(identity);
  PlugConfigBlock data = block;
  const SetupPacket setup{0x40, 0, PLUG_CMD_CONFIG, 0, PLUG_CONFIG_BLOCK_SIZE};
  EXPECT_FALSE(model.HandleSetup(setup, data.data()).Stalled);
  model.LeaveBus();
  model.ReturnToBus();
  return model;
}

TEST(DeviceDescriptors, EveryLayoutParsesAtEverySpeedWithTheSameAddresses) {
  const PlugConfigBlock layouts[] = {
      {0, 2, 1, 1, 1, 1, 0, 3, 0, 4, 3, 64, 0, 4},        // loopback
      {1, 2, 1, 1, 16, 1, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0},  // bulk read, burst 16
      {3, 2, 2, 5, 4, 1, 0, 3, 0, 0x30, 3, 2, 0, 0x60},   // bulk both ways
      {1, 1, 3, 3, 16, 4, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0},  // iso read
      {2, 1, 3, 4, 2, 1, 0, 2, 0, 0x10, 3, 2, 0, 0x10},   // iso write
  };
  for (const PlugConfigBlock& layout : layouts) {
    const PlugModel model = Configured(layout);
    const auto everySpeed = model.InterfaceDescriptorsForEverySpeed();
    std::vector<uint8_t> addresses;
    for (uint8_t speed : {SPEED_FULL, SPEED_HIGH, SPEED_SUPER}) {
      SCOPED_TRACE(testing::Message() << "flow " << int(layout[0]) << " type " << int(layout[1])
                                      << " speed " << int(speed));
      const Bytes set = BuildConfigurationSet(speed, everySpeed[speed - 1]);
      const auto config = BuildConfiguration(
          set.data(), set.size(), 0x10,
          speed == SPEED_SUPER ? DescriptorForm::SuperSpeed : DescriptorForm::Usb20);
      ASSERT_NE(config, nullptr);
      EXPECT_EQ(config->wTotalLength, set.size());
      const std::vector<PlugEndpoint> expected = model.EndpointsAt(speed);
      ASSERT_EQ(config->AltSettingTotal, 1);
      const auto& setting = config->AltSettings[0];
      ASSERT_EQ(setting->bNumEndpoints, expected.size());
      std::vector<uint8_t> seen;
      for (size_t i = 0; i < expected.size(); ++i) {
        const UsbEndpoint* e = setting->Endpoints[i + 1];
        seen.push_back(e->bEndpointAddress);
        EXPECT_EQ(e->bmAttributes, expected[i].bmAttributes);
        const bool iso = expected[i].IsIsochronous();
        EXPECT_EQ(expected[i].PacketBytes(), PlugMaxPacketSize(speed, iso));
        EXPECT_EQ(e->MaxBurst.load(), speed == SPEED_SUPER ? expected[i].bMaxBurst : 0);
        if (iso) {
          // What the host reserves per service interval is what the plug moves in one.
          EXPECT_EQ(e->MaxPacketSize, expected[i].IntervalBytes());
          EXPECT_EQ(e->bInterval, layout[5]);
        } else {
          EXPECT_EQ(e->MaxPacketSize, PlugMaxPacketSize(speed, false) * (e->MaxBurst.load() + 1));
        }
      }
      EXPECT_EQ(seen.back(), PLUG_DISPLAY_ENDPOINT);
      if (addresses.empty()) addresses = seen;
      EXPECT_EQ(seen, addresses);
    }
  }
}

}  // namespace
