#include "usbhost/host_devices.h"

#include <libusb.h>

#include <algorithm>
#include <fstream>
#include <tuple>

#include "protocol/device_path.h"
#include "protocol/speed_codes.h"

std::string LocationOf(const FoundDevice& device) {
  std::string location = std::to_string(device.Bus);
  char separator = '-';
  for (uint8_t port : device.Ports) {
    location += separator;
    location += std::to_string(port);
    separator = '.';
  }
  return location;
}

std::string HostDevicePath(const FoundDevice& device) {
  return DevicePathFor(device.Id, device.Serial.empty() ? LocationOf(device) : device.Serial);
}

std::vector<FoundDevice> PlugDevicesInOrder(std::vector<FoundDevice> devices) {
  std::erase_if(devices, [](const FoundDevice& d) { return !IsPlugId(d.Id.Vendor, d.Id.Product); });
  std::sort(devices.begin(), devices.end(), [](const FoundDevice& a, const FoundDevice& b) {
    return std::tie(a.Bus, a.Ports, a.Address) < std::tie(b.Bus, b.Ports, b.Address);
  });
  return devices;
}

std::string ReadSysfsSerial(std::string_view sysfsRoot, const FoundDevice& device) {
  std::ifstream file(std::string(sysfsRoot) + "/" + LocationOf(device) + "/serial");
  std::string serial;
  if (!file || !std::getline(file, serial)) return {};
  return serial;
}

uint32_t DriverSpeedOf(int libusbSpeed) {
  if (libusbSpeed >= LIBUSB_SPEED_SUPER) return DRIVER_SPEED_SUPER;
  if (libusbSpeed == LIBUSB_SPEED_HIGH) return DRIVER_SPEED_HIGH;
  return DRIVER_SPEED_FULL;
}
