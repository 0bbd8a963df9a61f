// Builders for raw USB descriptors and descriptor sets, for scripting FakePort and
// feeding the descriptor parsers.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace TestDescriptors {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes& to, const Bytes& part) {
  to.insert(to.end(), part.begin(), part.end());
}

inline Bytes Device(uint16_t bcdUsb, uint8_t maxPacket0, uint8_t configurations,
                    uint8_t iManufacturer = 1, uint8_t iProduct = 2, uint8_t iSerial = 3,
                    uint16_t vendor = 0x1209, uint16_t product = 0x000A) {
  return {18,
          1,
          uint8_t(bcdUsb),
          uint8_t(bcdUsb >> 8),
          0xEF,
          0x02,
          0x01,
          maxPacket0,
          uint8_t(vendor),
          uint8_t(vendor >> 8),
          uint8_t(product),
          uint8_t(product >> 8),
          0x34,
          0x12,
          iManufacturer,
          iProduct,
          iSerial,
          configurations};
}

inline Bytes Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 0xFF) {
  return {9, 4, number, alternate, endpoints, cls, 0x01, 0x02, 0};
}

inline Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                      uint8_t interval = 0) {
  return {7, 5, address, attributes, uint8_t(maxPacket), uint8_t(maxPacket >> 8), interval};
}

inline Bytes Companion(uint8_t maxBurst, uint8_t attributes, uint16_t bytesPerInterval = 0) {
  return {6, 0x30, maxBurst, attributes, uint8_t(bytesPerInterval), uint8_t(bytesPerInterval >> 8)};
}

// A class-specific descriptor the walks step over.
inline Bytes Foreign(uint8_t length = 5, uint8_t type = 0x24) {
  Bytes d(length, 0);
  d[0] = length;
  d[1] = type;
  return d;
}

// Configuration header (wTotalLength filled in) followed by the parts.
inline Bytes Config(uint8_t interfaces, std::initializer_list<Bytes> parts, uint8_t value = 1) {
  Bytes set = {9, 2, 0, 0, interfaces, value, 0, 0x80, 50};
  for (const Bytes& p : parts) Append(set, p);
  set[2] = uint8_t(set.size());
  set[3] = uint8_t(set.size() >> 8);
  return set;
}

inline Bytes Languages(std::initializer_list<uint16_t> ids) {
  Bytes d = {uint8_t(2 + 2 * ids.size()), 3};
  for (uint16_t id : ids) {
    d.push_back(uint8_t(id));
    d.push_back(uint8_t(id >> 8));
  }
  return d;
}

inline Bytes String(const std::u16string& text) {
  Bytes d = {uint8_t(2 + 2 * text.size()), 3};
  for (char16_t c : text) {
    d.push_back(uint8_t(c));
    d.push_back(uint8_t(c >> 8));
  }
  return d;
}

inline Bytes Usb20Extension(uint32_t attributes) {
  return {7,
          0x10,
          2,
          uint8_t(attributes),
          uint8_t(attributes >> 8),
          uint8_t(attributes >> 16),
          uint8_t(attributes >> 24)};
}

inline Bytes SuperSpeedCapability() {
  return {10, 0x10, 3, 0x00, 0x0E, 0x00, 0x01, 0x0A, 0xFF, 0x07};
}

inline Bytes ContainerId(uint8_t first) {
  Bytes d = {20, 0x10, 4, 0};
  for (uint8_t i = 0; i < 16; ++i) d.push_back(uint8_t(first + i));
  return d;
}

inline Bytes Capability(uint8_t type, uint8_t length) {
  Bytes d(length, 0);
  d[0] = length;
  d[1] = 0x10;
  d[2] = type;
  return d;
}

// BOS header (wTotalLength and bNumDeviceCaps filled in) followed by the capabilities.
inline Bytes Bos(std::initializer_list<Bytes> capabilities) {
  Bytes set = {5, 0x0F, 0, 0, uint8_t(capabilities.size())};
  for (const Bytes& c : capabilities) Append(set, c);
  set[2] = uint8_t(set.size());
  set[3] = uint8_t(set.size() >> 8);
  return set;
}

}  // namespace TestDescriptors
