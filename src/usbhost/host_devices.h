// Which USB devices are plugs, in which order the program sees them, and the
// device-interface path each one gets. Pure: the libusb enumeration that fills
// FoundDevice lives in the port.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/plug_ids.h"

struct FoundDevice {
  uint8_t Bus = 0;
  std::vector<uint8_t> Ports;  // port numbers from the root hub down
  uint8_t Address = 0;
  PlugId Id;
  std::string Serial;  // the serial-number string, empty when the device has none
};

// "1-2.3": bus, then the port path, as the kernel names the device in sysfs.
std::string LocationOf(const FoundDevice& device);

// The device's path in the form the program knows (DevicePathFor). A device without a
// serial number is named by its location instead, so that two such devices still have
// two paths.
std::string HostDevicePath(const FoundDevice& device);

// The devices whose ids are in the plug id list, ordered by bus, port path, then
// address: a plug keeps its place in the list while it stays in its port.
std::vector<FoundDevice> PlugDevicesInOrder(std::vector<FoundDevice> devices);

// The serial number the kernel read at enumeration, from sysfsRoot/<location>/serial
// (sysfsRoot is /sys/bus/usb/devices); empty when there is none. Needs no access to
// the device itself and puts nothing on the bus.
std::string ReadSysfsSerial(std::string_view sysfsRoot, const FoundDevice& device);

// The connection-speed answer for a libusb_speed: SuperSpeed and faster 4, high speed
// 2, anything slower or unknown 1.
uint32_t DriverSpeedOf(int libusbSpeed);
