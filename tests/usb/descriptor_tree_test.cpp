#include "usb/descriptor_tree.h"

#include <gtest/gtest.h>

#include "usb/descriptor_sets.h"

namespace {
using namespace TestDescriptors;

constexpr DriverHandle kHandle = 0x42;

std::unique_ptr<UsbConfiguration> Parse(const Bytes& set,
                                        DescriptorForm form = DescriptorForm::SuperSpeed) {
  return BuildConfiguration(set.data(), set.size(), kHandle, form);
}

// The set with one byte changed.
Bytes With(Bytes set, size_t at, uint8_t value) {
  set[at] = value;
  return set;
}

TEST(DescriptorTree, SettingsEndpointsAndCounts) {
  const Bytes set = Config(
      2, {Interface(0, 0, 2), Foreign(6), Endpoint(0x01, 2, 512), Endpoint(0x81, 2, 512),
          Interface(0, 1, 1), Endpoint(0x83, 1, 1024), Interface(1, 0, 0), Foreign(4, 0x21)});
  auto config = Parse(set, DescriptorForm::Usb20);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->wTotalLength, set.size());
  EXPECT_EQ(config->bNumInterfaces, 2);
  ASSERT_EQ(config->AltSettingTotal, 3);
  EXPECT_EQ(config->AltSettings[3], nullptr);

  const UsbAltInterface* first = config->AltSettings[0].get();
  EXPECT_EQ(first->SettingsOfInterface, 2);
  EXPECT_EQ(first->bNumEndpoints, 2);
  EXPECT_EQ(first->DescriptorSpan, 9 + 6 + 7 + 7);
  EXPECT_EQ(first->Endpoints[0], nullptr);
  ASSERT_NE(first->Endpoints[2], nullptr);
  EXPECT_EQ(first->Endpoints[1]->bEndpointAddress, 0x01);
  EXPECT_EQ(first->Endpoints[1]->DeviceHandle, kHandle);
  EXPECT_EQ(first->Endpoints[2]->bEndpointAddress, 0x81);
  EXPECT_EQ(first->Endpoints[3], nullptr);

  const UsbAltInterface* second = config->AltSettings[1].get();
  EXPECT_EQ(second->bAlternateSetting, 1);
  EXPECT_EQ(second->SettingsOfInterface, 2);
  EXPECT_NE(dynamic_cast<UsbIsocEndpoint*>(second->Endpoints[1]), nullptr);

  const UsbAltInterface* third = config->AltSettings[2].get();
  EXPECT_EQ(third->bInterfaceNumber, 1);
  EXPECT_EQ(third->SettingsOfInterface, 1);
  EXPECT_EQ(third->DescriptorSpan, 9);
}

TEST(DescriptorTree, CompanionsOnlyInTheSuperSpeedForm) {
  const Bytes set = Config(1, {Interface(0, 0, 2), Endpoint(0x01, 2, 1024), Companion(15, 0),
                               Endpoint(0x81, 2, 1024), Companion(3, 0)});
  auto ss = Parse(set, DescriptorForm::SuperSpeed);
  ASSERT_NE(ss, nullptr);
  const UsbAltInterface* s = ss->AltSettings[0].get();
  EXPECT_EQ(s->bNumEndpoints, 2);
  EXPECT_EQ(s->DescriptorSpan, 9 + 13 + 13);
  EXPECT_EQ(s->Endpoints[1]->MaxPacketSize, 16384);
  EXPECT_EQ(s->Endpoints[2]->MaxPacketSize, 4096);

  // The USB 2.0 form steps over each companion as a foreign descriptor.
  auto hs = Parse(set, DescriptorForm::Usb20);
  ASSERT_NE(hs, nullptr);
  const UsbAltInterface* h = hs->AltSettings[0].get();
  EXPECT_EQ(h->bNumEndpoints, 2);
  EXPECT_EQ(h->Endpoints[1]->MaxPacketSize, 1024);
  EXPECT_EQ(h->Endpoints[1]->CompanionLength, 0);
  EXPECT_EQ(h->Endpoints[2]->bEndpointAddress, 0x81);
}

TEST(DescriptorTree, TwelfthForeignDescriptorEndsTheSetting) {
  auto stepped =
      Parse(Config(1, {Interface(0, 0, 1), Repeat(11, Foreign(5)), Endpoint(0x81, 3, 8)}));
  ASSERT_NE(stepped, nullptr);
  EXPECT_EQ(stepped->AltSettings[0]->bNumEndpoints, 1);
  EXPECT_EQ(stepped->AltSettings[0]->Endpoints[1]->bEndpointAddress, 0x81);

  auto ended = Parse(Config(1, {Interface(0, 0, 1), Repeat(12, Foreign(5)), Endpoint(0x81, 3, 8),
                                Interface(0, 1, 1), Endpoint(0x82, 2, 64)}));
  ASSERT_NE(ended, nullptr);
  // No empty entry is presented: the setting holds what it found.
  EXPECT_EQ(ended->AltSettings[0]->bNumEndpoints, 0);
  EXPECT_EQ(ended->AltSettings[0]->Endpoints[1], nullptr);
  EXPECT_EQ(ended->AltSettings[0]->DescriptorSpan, 9 + 12 * 5);
  ASSERT_EQ(ended->AltSettingTotal, 2);
  EXPECT_EQ(ended->AltSettings[1]->Endpoints[1]->bEndpointAddress, 0x82);
}

TEST(DescriptorTree, EndpointAndSettingLimits) {
  // The next setting begins before the first has all its endpoints, and the set ends
  // before the second has its.
  auto config = Parse(Config(
      1, {Interface(0, 0, 3), Endpoint(0x01, 2, 512), Interface(0, 1, 2), Endpoint(0x81, 2, 512)}));
  ASSERT_NE(config, nullptr);
  ASSERT_EQ(config->AltSettingTotal, 2);
  EXPECT_EQ(config->AltSettings[0]->bNumEndpoints, 1);
  EXPECT_EQ(config->AltSettings[0]->DescriptorSpan, 16);
  EXPECT_EQ(config->AltSettings[1]->bNumEndpoints, 1);

  // More than 31 declared and present: 31 are taken.
  auto capped = Parse(Config(1, {Interface(0, 0, 40), Repeat(35, Endpoint(0x81, 2, 64))}));
  ASSERT_NE(capped, nullptr);
  EXPECT_EQ(capped->AltSettings[0]->bNumEndpoints, 31);
  for (int i = 1; i <= 31; ++i) EXPECT_NE(capped->AltSettings[0]->Endpoints[i], nullptr);

  // At most 255 settings; SettingsOfInterface counts all of an interface's settings.
  Bytes settings;
  for (int i = 0; i < 260; ++i)
    settings = Join({settings, Interface(uint8_t(i % 3), uint8_t(i), 0)});
  auto many = Parse(Config(1, {settings}));
  ASSERT_NE(many, nullptr);
  EXPECT_EQ(many->AltSettingTotal, 255);
  EXPECT_EQ(many->AltSettings[254]->bAlternateSetting, 254);
  EXPECT_EQ(many->AltSettings[0]->SettingsOfInterface, 85);
}

TEST(DescriptorTree, MalformedConfigurationSets) {
  const Bytes good = Config(1, {Interface(0, 0, 1), Endpoint(0x81, 2, 512), Companion(0, 0)});
  ASSERT_NE(Parse(good), nullptr);
  const Bytes zeroInSetting = Config(1, {Interface(0, 0, 1), Foreign(3), Endpoint(0x81, 2, 512)});
  const Bytes zeroInConfig = Config(1, {Foreign(3), Interface(0, 0, 0)});
  const Bytes malformed[] = {
      With(good, 2, 9 + 9 + 4),    // wTotalLength ends inside the endpoint descriptor
      With(zeroInSetting, 18, 0),  // zero length inside a setting
      With(zeroInConfig, 9, 0),    // zero length before the first setting
      With(good, 9 + 9 + 7, 8),    // the companion claims more than the set holds
      Config(1, {Interface(0, 0, 1), Bytes{4, 5, 0x81, 2}}),  // endpoint too short
      Config(1, {Interface(0, 0, 0), Bytes{9}}),              // half a header
      {9, 2, 5, 0, 1, 1, 0, 0x80, 50},                        // wTotalLength below its own length
  };
  for (const Bytes& set : malformed) {
    EXPECT_EQ(Parse(set), nullptr) << ::testing::PrintToString(set);
  }
  EXPECT_EQ(BuildConfiguration(good.data(), 9 + 9 + 4, kHandle, DescriptorForm::Usb20), nullptr);
  EXPECT_EQ(BuildConfiguration(good.data(), 4, kHandle, DescriptorForm::Usb20), nullptr);
  EXPECT_EQ(BuildConfiguration(nullptr, 0, kHandle, DescriptorForm::Usb20), nullptr);

  // A set without interfaces is not malformed, only useless.
  auto empty = Parse(Config(0, {}));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->AltSettingTotal, 0);
}

int g_released = 0;
struct CountingEndpoint : UsbBulkEndpoint {
  explicit CountingEndpoint(const uint8_t* d) : UsbBulkEndpoint(kHandle, d, nullptr) {}
  ~CountingEndpoint() override { ++g_released; }
};

// Entry 0 shows the device's control endpoint in every setting that is selected; the
// configuration releases its own endpoints (LeakSanitizer holds it to that) and never
// the borrowed one.
TEST(DescriptorTree, ReleasingAConfigurationLeavesTheBorrowedControlEndpoint) {
  auto config = Parse(Config(1, {Interface(0, 0, 1), Endpoint(0x81, 2, 512), Interface(0, 1, 0)}));
  ASSERT_NE(config, nullptr);
  const Bytes ep0 = Endpoint(0, 0, 64);
  g_released = 0;
  auto control = std::make_unique<CountingEndpoint>(ep0.data());
  config->AltSettings[0]->Endpoints[0] = control.get();
  config->AltSettings[1]->Endpoints[0] = control.get();
  config.reset();
  EXPECT_EQ(g_released, 0);
  control.reset();
  EXPECT_EQ(g_released, 1);
}

TEST(DescriptorTree, BosCapabilities) {
  // Type 10 is not kept; the others are.
  const Bytes set = Bos({Usb20Extension(0x1E), Capability(10, 8), SuperSpeedCapability()});
  auto bos = BuildBosInfo(set.data(), set.size());
  ASSERT_NE(bos, nullptr);
  EXPECT_EQ(bos->bNumDeviceCaps, 3);
  EXPECT_EQ(bos->wTotalLength, set.size());
  ASSERT_NE(bos->Usb20ExtCap, nullptr);
  EXPECT_EQ(bos->Usb20ExtCap->bmAttributes, 0x1Eu);
  ASSERT_NE(bos->SuperSpeedCap, nullptr);
  EXPECT_EQ(bos->SuperSpeedCap->wSpeedsSupported, 0x0E);
  EXPECT_EQ(bos->SuperSpeedCap->bU1DevExitLat, 0x0A);
  EXPECT_EQ(bos->SuperSpeedCap->wU2DevExitLat, 0x07FF);
  EXPECT_EQ(bos->ContainerIdCap, nullptr);

  // A later capability of the same type replaces the earlier one.
  const Bytes twice = Bos({ContainerId(1), ContainerId(0x40)});
  auto ids = BuildBosInfo(twice.data(), twice.size());
  ASSERT_NE(ids, nullptr);
  ASSERT_NE(ids->ContainerIdCap, nullptr);
  EXPECT_EQ(ids->ContainerIdCap->ContainerId[0], 0x40);
  EXPECT_EQ(ids->ContainerIdCap->ContainerId[15], 0x4F);

  const Bytes none = Bos({});  // the header alone
  ASSERT_NE(BuildBosInfo(none.data(), none.size()), nullptr);
}

TEST(DescriptorTree, MalformedBosSets) {
  const Bytes two = Bos({Usb20Extension(0), SuperSpeedCapability()});
  const Bytes ss = Bos({SuperSpeedCapability()});
  const Bytes malformed[] = {
      With(two, 5 + 7, 0),                   // zero length
      With(ss, 2, 5 + 6),                    // wTotalLength ends inside the capability
      With(Bos({Usb20Extension(0)}), 4, 2),  // declares one more capability than it holds
      Bos({Capability(4, 8)}),               // a container id needs 20 bytes
  };
  for (const Bytes& set : malformed) {
    EXPECT_EQ(BuildBosInfo(set.data(), set.size()), nullptr) << ::testing::PrintToString(set);
  }
  EXPECT_EQ(BuildBosInfo(ss.data(), 3), nullptr);
}

}  // namespace
