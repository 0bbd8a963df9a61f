#include "firmware/device_descriptors.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "protocol/byte_order.h"
#include "protocol/plug_ids.h"

namespace {

constexpr uint16_t kEnglishUs = 0x0409;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> TextDescriptor(const std::string& text) {
  std::vector<uint8_t> d;
  const size_t chars = std::min<size_t>(text.size(), 126);
  d.push_back(static_cast<uint8_t>(2 + 2 * chars));
  d.push_back(USB_DESCRIPTOR_STRING);
  for (size_t i = 0; i < chars; ++i) Put16(d, static_cast<uint8_t>(text[i]));
  return d;
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(const PlugIdentity& identity, uint8_t speed) {
  const bool super = speed == SPEED_SUPER;
  std::vector<uint8_t> d = {18, USB_DESCRIPTOR_DEVICE};
  Put16(d, super ? 0x0320 : speed == SPEED_HIGH ? 0x0210 : 0x0200);
  // Class in the interface; endpoint 0 takes 2^9 bytes at SuperSpeed, else 64.
  d.insert(d.end(), {0, 0, 0, static_cast<uint8_t>(super ? 9 : 64)});
  Put16(d, PLUG_VENDOR_ID);
  Put16(d, PLUG_PRODUCT_ID);
  const uint8_t fw = identity.HasFirmware ? identity.Firmware : 0;
  Put16(d, static_cast<uint16_t>(((fw / 10) << 8) | (fw % 10)));
  d.insert(d.end(), {PLUG_STRING_MANUFACTURER, PLUG_STRING_PRODUCT, PLUG_STRING_SERIAL, 1});
  return d;
}

std::vector<uint8_t> BuildConfigurationSet(uint8_t speed,
                                           const std::vector<uint8_t>& interfaceDescriptors) {
  // Bus-powered, 200 mA: in units of 8 mA at SuperSpeed, of 2 mA below.
  const uint8_t header[9] = {9,
                             USB_DESCRIPTOR_CONFIGURATION,
                             0,
                             0,
                             1,
                             1,
                             0,
                             0x80,
                             static_cast<uint8_t>(speed == SPEED_SUPER ? 25 : 100)};
  std::vector<uint8_t> c(std::begin(header), std::end(header));
  c.resize(sizeof header + interfaceDescriptors.size());
  std::copy(interfaceDescriptors.begin(), interfaceDescriptors.end(), c.begin() + sizeof header);
  PutLe16(&c[2], static_cast<uint16_t>(c.size()));
  return c;
}

std::vector<uint8_t> BuildBos(const PlugIdentity& identity, uint8_t speed) {
  if (speed != SPEED_SUPER) return {};
  std::vector<uint8_t> bos = {5, USB_DESCRIPTOR_BOS, 0, 0, 3};
  // USB 2.0 extension: link power management.
  bos.insert(bos.end(), {7, USB_DESCRIPTOR_DEVICE_CAPABILITY, 2, 0x02, 0, 0, 0});
  // SuperSpeed capability: all three speeds, full speed upward, exit latencies.
  bos.insert(bos.end(), {10, USB_DESCRIPTOR_DEVICE_CAPABILITY, 3, 0, 0x0E, 0, 1, 10, 0xFF, 0x07});
  // Container id, from the serial.
  bos.insert(bos.end(), {20, USB_DESCRIPTOR_DEVICE_CAPABILITY, 4, 0});
  const std::string& s = identity.Serial;
  for (int i = 0; i < 16; ++i) {
    bos.push_back(static_cast<uint8_t>(s.empty() ? i : s[i % s.size()] ^ (i * 37)));
  }
  PutLe16(&bos[2], static_cast<uint16_t>(bos.size()));
  return bos;
}

std::vector<uint8_t> BuildStringDescriptor(const PlugIdentity& identity, uint8_t index) {
  switch (index) {
    case 0:
      return {4, USB_DESCRIPTOR_STRING, static_cast<uint8_t>(kEnglishUs),
              static_cast<uint8_t>(kEnglishUs >> 8)};
    case PLUG_STRING_MANUFACTURER:
      return TextDescriptor(PLUG_MANUFACTURER);
    case PLUG_STRING_PRODUCT:
      return TextDescriptor(PLUG_PRODUCT);
    case PLUG_STRING_SERIAL:
      return TextDescriptor(identity.Serial);
    default:
      return {};
  }
}
