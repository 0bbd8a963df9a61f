// Which devices are plugs, their order and their paths, without a bus.
#include "usbhost/host_devices.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "protocol/device_path.h"
#include "protocol/speed_codes.h"

namespace {

FoundDevice Device(uint8_t bus, std::vector<uint8_t> ports, uint8_t address, PlugId id,
                   std::string serial) {
  return {bus, std::move(ports), address, id, std::move(serial)};
}

const PlugId kOwn{PLUG_VENDOR_ID, PLUG_PRODUCT_ID};
const PlugId kAdded{0x04b4, 0x00f1};
const PlugId kOther{0x1d6b, 0x0003};  // a root hub, never a plug

class HostDevices : public ::testing::Test {
 protected:
  void TearDown() override { ResetPlugIds(); }
};

TEST_F(HostDevices, OnlyListedIdsCountAndTheyKeepTheirPortOrder) {
  const std::vector<FoundDevice> present = {
      Device(2, {1}, 3, kOwn, "B"),      Device(1, {2}, 9, kOwn, "A2"),
      Device(1, {1, 4}, 7, kAdded, "X"), Device(1, {1}, 2, kOwn, "A1"),
      Device(1, {1, 3}, 5, kOther, "H"),
  };
  auto serials = [](const std::vector<FoundDevice>& devices) {
    std::vector<std::string> out;
    for (const FoundDevice& d : devices) out.push_back(d.Serial);
    return out;
  };
  // Bus first, then the port path from the root down (a hub's port before the
  // devices behind it), whatever order libusb lists them in.
  EXPECT_EQ(serials(PlugDevicesInOrder(present)), (std::vector<std::string>{"A1", "A2", "B"}));
  AddPlugId(kAdded);
  EXPECT_EQ(serials(PlugDevicesInOrder(present)), (std::vector<std::string>{"A1", "X", "A2", "B"}));
}

TEST_F(HostDevices, PathsHaveTheFormThePlugLayerReads) {
  const FoundDevice own = Device(1, {2}, 4, kOwn, "Lab0002");
  EXPECT_EQ(HostDevicePath(own), PlugDevicePath("Lab0002"));
  EXPECT_EQ(PlugSerialFromPath(HostDevicePath(own)), "Lab0002");
  // Other ids: the same form with the device's own ids.
  const std::string added = HostDevicePath(Device(1, {2}, 4, kAdded, "S9"));
  EXPECT_EQ(added.find("\\\\?\\usb#vid_04b4&pid_00f1#S9#{"), 0u) << added;
  EXPECT_EQ(added.substr(added.size() - 38),
            PlugDevicePath("").substr(PlugDevicePath("").size() - 38));
  // Without serial numbers two devices still get two paths, by location.
  const std::string first = HostDevicePath(Device(3, {1, 4, 2}, 8, kOwn, ""));
  const std::string second = HostDevicePath(Device(3, {1, 4, 3}, 9, kOwn, ""));
  EXPECT_EQ(PlugSerialFromPath(first), "3-1.4.2");
  EXPECT_NE(first, second);
}

TEST_F(HostDevices, TheSerialComesFromSysfsWithoutItsLineEnd) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tarnwick-sysfs-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "1-2.1");
  std::ofstream(root / "1-2.1" / "serial") << "Lab0007\n";
  EXPECT_EQ(ReadSysfsSerial(root.string(), Device(1, {2, 1}, 5, kOwn, "")), "Lab0007");
  EXPECT_EQ(ReadSysfsSerial(root.string(), Device(1, {2, 2}, 6, kOwn, "")), "");
  std::filesystem::remove_all(root);
}

TEST_F(HostDevices, SpeedsReadAsThePlugLayerExpects) {
  EXPECT_EQ(ConnectionSpeedFor(DriverSpeedOf(LIBUSB_SPEED_SUPER_PLUS)), SPEED_SUPER);
  EXPECT_EQ(ConnectionSpeedFor(DriverSpeedOf(LIBUSB_SPEED_SUPER)), SPEED_SUPER);
  EXPECT_EQ(ConnectionSpeedFor(DriverSpeedOf(LIBUSB_SPEED_HIGH)), SPEED_HIGH);
  for (int slow : {LIBUSB_SPEED_FULL, LIBUSB_SPEED_LOW, LIBUSB_SPEED_UNKNOWN}) {
    EXPECT_EQ(ConnectionSpeedFor(DriverSpeedOf(slow)), SPEED_FULL) << slow;
  }
}

}  // namespace
