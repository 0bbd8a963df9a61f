// The plug's descriptors at every speed, read back by the program's own parser: a
// gadget transport hands all three speeds to its kernel at once, so each must be a
// valid set for every layout the plug can be configured to.
#include "firmware/device_descriptors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/config_block.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
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
    std::vector<uint8_t> addresses;
    for (uint8_t speed : {SPEED_FULL, SPEED_HIGH, SPEED_SUPER}) {
      SCOPED_TRACE(testing::Message() << "flow " << int(layout[0]) << " type " << int(layout[1])
                                      << " speed " << int(speed));
      const Bytes set = BuildConfigurationSet(speed, model.InterfaceDescriptors(speed));
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

TEST(DeviceDescriptors, DeviceDescriptorFollowsSpeedAndFirmware) {
  PlugIdentity identity;
  identity.Firmware = 21;
  const struct {
    uint8_t Speed;
    uint16_t bcdUSB;
    uint8_t Ep0;
  } speeds[] = {{SPEED_FULL, 0x0200, 64}, {SPEED_HIGH, 0x0210, 64}, {SPEED_SUPER, 0x0320, 9}};
  for (const auto& s : speeds) {
    const Bytes d = BuildDeviceDescriptor(identity, s.Speed);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[2] | d[3] << 8, s.bcdUSB);
    EXPECT_EQ(d[7], s.Ep0);
    EXPECT_EQ(d[8] | d[9] << 8, PLUG_VENDOR_ID);
    EXPECT_EQ(d[10] | d[11] << 8, PLUG_PRODUCT_ID);
    EXPECT_EQ(d[12] | d[13] << 8, 0x0201);  // firmware 2.1
    EXPECT_EQ(Bytes(d.begin() + 14, d.end()), Bytes({1, 2, 3, 1}));
  }
  identity.HasFirmware = false;
  EXPECT_EQ(BuildDeviceDescriptor(identity, SPEED_HIGH)[12], 0);
}

TEST(DeviceDescriptors, BosOnlyAtSuperSpeedWithAContainerIdPerSerial) {
  PlugIdentity first, second;
  first.Serial = "A0001";
  second.Serial = "A0002";
  EXPECT_TRUE(BuildBos(first, SPEED_HIGH).empty());
  const Bytes bos = BuildBos(first, SPEED_SUPER);
  const auto info = BuildBosInfo(bos.data(), bos.size());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->wTotalLength, bos.size());
  ASSERT_NE(info->SuperSpeedCap, nullptr);
  ASSERT_NE(info->ContainerIdCap, nullptr);
  const auto other = BuildBosInfo(BuildBos(second, SPEED_SUPER).data(), bos.size());
  ASSERT_NE(other, nullptr);
  EXPECT_NE(Bytes(info->ContainerIdCap->ContainerId, info->ContainerIdCap->ContainerId + 16),
            Bytes(other->ContainerIdCap->ContainerId, other->ContainerIdCap->ContainerId + 16));
}

TEST(DeviceDescriptors, StringsAreLanguagesThenMakerProductSerial) {
  PlugIdentity identity;
  identity.Serial = "SN7";
  EXPECT_EQ(BuildStringDescriptor(identity, 0), Bytes({4, 3, 0x09, 0x04}));
  EXPECT_EQ(BuildStringDescriptor(identity, PLUG_STRING_SERIAL),
            Bytes({8, 3, 'S', 0, 'N', 0, '7', 0}));
  const Bytes maker = BuildStringDescriptor(identity, PLUG_STRING_MANUFACTURER);
  EXPECT_EQ(maker.size(), 2 + 2 * std::string(PLUG_MANUFACTURER).size());
  EXPECT_TRUE(BuildStringDescriptor(identity, 4).empty());
}

}  // namespace
