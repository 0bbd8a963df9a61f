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

TEST(DescriptorTree, SettingsEndpointsAndCounts) {
  const Bytes set = Config(
      2, {Interface(0, 0, 2), Foreign(6), Endpoint(0x01, 2, 512), Endpoint(0x81, 2, 512),
          Interface(0, 1, 1), Endpoint(0x83, 1, 1024), Interface(1, 0, 0), Foreign(4, 0x21)});
  auto config = Parse(set, DescriptorForm::Usb20);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->wTotalLength, set.size());
  EXPECT_EQ(config->bNumInterfaces, 2);
  EXPECT_EQ(config->bConfigurationValue, 1);
  EXPECT_EQ(config->bMaxPower, 50);
  ASSERT_EQ(config->AltSettingTotal, 3);
  EXPECT_EQ(config->AltSettings[3], nullptr);

  const UsbAltInterface* first = config->AltSettings[0];
  EXPECT_EQ(first->SettingsOfInterface, 2);
  EXPECT_EQ(first->bNumEndpoints, 2);
  EXPECT_EQ(first->DescriptorSpan, 9 + 6 + 7 + 7);
  EXPECT_EQ(first->Endpoints[0], nullptr);
  ASSERT_NE(first->Endpoints[1], nullptr);
  EXPECT_EQ(first->Endpoints[1]->bEndpointAddress, 0x01);
  EXPECT_EQ(first->Endpoints[1]->DeviceHandle, kHandle);
  EXPECT_EQ(first->Endpoints[2]->bEndpointAddress, 0x81);
  EXPECT_EQ(first->Endpoints[3], nullptr);

  const UsbAltInterface* second = config->AltSettings[1];
  EXPECT_EQ(second->bAlternateSetting, 1);
  EXPECT_EQ(second->SettingsOfInterface, 2);
  EXPECT_NE(dynamic_cast<UsbIsocEndpoint*>(second->Endpoints[1]), nullptr);

  const UsbAltInterface* third = config->AltSettings[2];
  EXPECT_EQ(third->bInterfaceNumber, 1);
  EXPECT_EQ(third->SettingsOfInterface, 1);
  EXPECT_EQ(third->bNumEndpoints, 0);
  EXPECT_EQ(third->DescriptorSpan, 9);
  EXPECT_EQ(third->bInterfaceClass, 0xFF);
}

TEST(DescriptorTree, CompanionsOnlyInTheSuperSpeedForm) {
  const Bytes set = Config(1, {Interface(0, 0, 2), Endpoint(0x01, 2, 1024), Companion(15, 0),
                               Endpoint(0x81, 2, 1024), Companion(3, 0)});
  auto ss = Parse(set, DescriptorForm::SuperSpeed);
  ASSERT_NE(ss, nullptr);
  const UsbAltInterface* s = ss->AltSettings[0];
  EXPECT_EQ(s->bNumEndpoints, 2);
  EXPECT_EQ(s->DescriptorSpan, 9 + 13 + 13);
  EXPECT_EQ(s->Endpoints[1]->MaxPacketSize, 16384);
  EXPECT_EQ(s->Endpoints[2]->MaxPacketSize, 4096);

  // The USB 2.0 form treats each companion as a foreign descriptor.
  auto hs = Parse(set, DescriptorForm::Usb20);
  ASSERT_NE(hs, nullptr);
  const UsbAltInterface* h = hs->AltSettings[0];
  EXPECT_EQ(h->bNumEndpoints, 2);
  EXPECT_EQ(h->Endpoints[1]->MaxPacketSize, 1024);
  EXPECT_EQ(h->Endpoints[1]->CompanionLength, 0);
  EXPECT_EQ(h->Endpoints[2]->bEndpointAddress, 0x81);
}

TEST(DescriptorTree, TwelfthForeignDescriptorEndsTheSetting) {
  Bytes eleven = Config(1, {Interface(0, 0, 1)});
  for (int i = 0; i < 11; ++i) Append(eleven, Foreign(5));
  Append(eleven, Endpoint(0x81, 3, 8));
  eleven[2] = uint8_t(eleven.size());
  auto stepped = Parse(eleven);
  ASSERT_NE(stepped, nullptr);
  EXPECT_EQ(stepped->AltSettings[0]->bNumEndpoints, 1);
  EXPECT_EQ(stepped->AltSettings[0]->Endpoints[1]->bEndpointAddress, 0x81);

  Bytes twelve = Config(1, {Interface(0, 0, 1)});
  for (int i = 0; i < 12; ++i) Append(twelve, Foreign(5));
  Append(twelve, Endpoint(0x81, 3, 8));
  Append(twelve, Interface(0, 1, 1));
  Append(twelve, Endpoint(0x82, 2, 64));
  twelve[2] = uint8_t(twelve.size());
  auto ended = Parse(twelve);
  ASSERT_NE(ended, nullptr);
  // No empty entry is presented: the setting holds what it found.
  EXPECT_EQ(ended->AltSettings[0]->bNumEndpoints, 0);
  EXPECT_EQ(ended->AltSettings[0]->Endpoints[1], nullptr);
  EXPECT_EQ(ended->AltSettings[0]->DescriptorSpan, 9 + 12 * 5);
  ASSERT_EQ(ended->AltSettingTotal, 2);
  EXPECT_EQ(ended->AltSettings[1]->Endpoints[1]->bEndpointAddress, 0x82);
}

TEST(DescriptorTree, FewerEndpointsThanDeclared) {
  // The next setting begins before the first has all its endpoints, and the set ends
  // before the second has its.
  const Bytes set = Config(
      1, {Interface(0, 0, 3), Endpoint(0x01, 2, 512), Interface(0, 1, 2), Endpoint(0x81, 2, 512)});
  auto config = Parse(set);
  ASSERT_NE(config, nullptr);
  ASSERT_EQ(config->AltSettingTotal, 2);
  EXPECT_EQ(config->AltSettings[0]->bNumEndpoints, 1);
  EXPECT_EQ(config->AltSettings[0]->DescriptorSpan, 16);
  EXPECT_EQ(config->AltSettings[1]->bNumEndpoints, 1);

  // More than 31 declared and present: 31 are taken.
  Bytes many = Config(1, {Interface(0, 0, 40)});
  for (int i = 0; i < 35; ++i) Append(many, Endpoint(uint8_t(0x81 + i % 15), 2, 64));
  many[2] = uint8_t(many.size());
  many[3] = uint8_t(many.size() >> 8);
  auto capped = Parse(many);
  ASSERT_NE(capped, nullptr);
  EXPECT_EQ(capped->AltSettings[0]->bNumEndpoints, 31);
  for (int i = 1; i <= 31; ++i) EXPECT_NE(capped->AltSettings[0]->Endpoints[i], nullptr);
}

TEST(DescriptorTree, AtMost255Settings) {
  Bytes set = Config(1, {});
  for (int i = 0; i < 260; ++i) Append(set, Interface(uint8_t(i % 3), uint8_t(i), 0));
  set[2] = uint8_t(set.size());
  set[3] = uint8_t(set.size() >> 8);
  auto config = Parse(set);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->AltSettingTotal, 255);
  EXPECT_EQ(config->AltSettings[254]->bAlternateSetting, 254);
  EXPECT_EQ(config->AltSettings[0]->SettingsOfInterface, 85);
}

TEST(DescriptorTree, MalformedConfigurationSets) {
  const Bytes good = Config(1, {Interface(0, 0, 1), Endpoint(0x81, 2, 512), Companion(0, 0)});
  ASSERT_NE(Parse(good), nullptr);

  Bytes truncated = good;  // wTotalLength ends inside the endpoint descriptor
  truncated[2] = 9 + 9 + 4;
  EXPECT_EQ(Parse(truncated), nullptr);
  EXPECT_EQ(BuildConfiguration(good.data(), 9 + 9 + 4, kHandle, DescriptorForm::Usb20), nullptr);

  Bytes zeroInSetting = Config(1, {Interface(0, 0, 1), Foreign(3), Endpoint(0x81, 2, 512)});
  zeroInSetting[18] = 0;
  EXPECT_EQ(Parse(zeroInSetting), nullptr);

  Bytes zeroInConfig = Config(1, {Foreign(3), Interface(0, 0, 0)});
  zeroInConfig[9] = 0;
  EXPECT_EQ(Parse(zeroInConfig), nullptr);

  Bytes shortCompanion = good;  // the companion claims more than the set holds
  shortCompanion[9 + 9 + 7] = 8;
  EXPECT_EQ(Parse(shortCompanion), nullptr);

  Bytes shortEndpoint = Config(1, {Interface(0, 0, 1), Bytes{4, 5, 0x81, 2}});
  EXPECT_EQ(Parse(shortEndpoint), nullptr);

  Bytes halfHeader = Config(1, {Interface(0, 0, 0), Bytes{9}});
  EXPECT_EQ(Parse(halfHeader), nullptr);

  const Bytes header = {9, 2, 5, 0, 1, 1, 0, 0x80, 50};  // wTotalLength below its own length
  EXPECT_EQ(Parse(header), nullptr);
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

TEST(DescriptorTree, SharedControlEndpointIsReleasedOnce) {
  auto config = Parse(Config(1, {Interface(0, 0, 1), Endpoint(0x81, 2, 512), Interface(0, 1, 0)}));
  ASSERT_NE(config, nullptr);
  const Bytes ep0 = Endpoint(0, 0, 64);
  g_released = 0;
  auto* control = new CountingEndpoint(ep0.data());
  config->AltSettings[0]->Endpoints[0] = control;
  config->AltSettings[1]->Endpoints[0] = control;
  config.reset();
  EXPECT_EQ(g_released, 1);
}

TEST(DescriptorTree, BosCapabilities) {
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

  // No capabilities declared: the header alone.
  Bytes none = Bos({});
  auto header = BuildBosInfo(none.data(), none.size());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->Usb20ExtCap, nullptr);
}

TEST(DescriptorTree, MalformedBosSets) {
  Bytes zero = Bos({Usb20Extension(0), SuperSpeedCapability()});
  zero[5 + 7] = 0;
  EXPECT_EQ(BuildBosInfo(zero.data(), zero.size()), nullptr);

  Bytes past = Bos({SuperSpeedCapability()});
  past[2] = 5 + 6;  // wTotalLength ends inside the capability
  EXPECT_EQ(BuildBosInfo(past.data(), past.size()), nullptr);

  Bytes missing = Bos({Usb20Extension(0)});
  missing[4] = 2;  // declares one more capability than it holds
  EXPECT_EQ(BuildBosInfo(missing.data(), missing.size()), nullptr);

  Bytes tooShort = Bos({Capability(4, 8)});  // a container id needs 20 bytes
  EXPECT_EQ(BuildBosInfo(tooShort.data(), tooShort.size()), nullptr);

  EXPECT_EQ(BuildBosInfo(past.data(), 3), nullptr);
}

}  // namespace
