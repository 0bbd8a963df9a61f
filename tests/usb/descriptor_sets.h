// Builders for raw USB descriptors and descriptor sets, for scripting FakePort and
// feeding the descriptor parsers.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace TestDescriptors {

using Bytes = std::vector<uint8_t>;

inline void PutWord(Bytes& d, size_t at, uint16_t value) {
  d[at] = uint8_t(value);
  d[at + 1] = uint8_t(value >> 8);
}

// The parts one after the other.
inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline Bytes Repeat(int count, const Bytes& part) {
  Bytes all;
  for (int i = 0; i < count; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes Device(uint16_t bcdUsb, uint8_t maxPacket0, uint8_t configurations,
                    uint8_t iManufacturer = 1, uint8_t iProduct = 2, uint8_t iSerial = 3,
                    uint16_t vendor = 0x1209, uint16_t product = 0x000A) {
  Bytes d = {18, 1, 0, 0,    0xEF, 0x02,          0x01,     maxPacket0, 0,
             0,  0, 0, 0x34, 0x12, iManufacturer, iProduct, iSerial,    configurations};
  PutWord(d, 2, bcdUsb);
  PutWord(d, 8, vendor);
  PutWord(d, 10, product);
  return d;
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
  Bytes set = Join({{9, 2, 0, 0, interfaces, value, 0, 0x80, 50}, Join(parts)});
  PutWord(set, 2, uint16_t(set.size()));
  return set;
}

inline Bytes Languages(std::initializer_list<uint16_t> ids) {
  Bytes d = {uint8_t(2 + 2 * ids.size()), 3};
  for (uint16_t id : ids) d.insert(d.end(), {uint8_t(id), uint8_t(id >> 8)});
  return d;
}

inline Bytes String(const std::u16string& text) {
  Bytes d = {uint8_t(2 + 2 * text.size()), 3};
  for (char16_t c : text) d.insert(d.end(), {uint8_t(c), uint8_t(c >> 8)});
  return d;
}

inline Bytes Capability(uint8_t type, uint8_t length) {
  Bytes d(length, 0);
  d[0] = length;
  d[1] = 0x10;
  d[2] = type;
  return d;
}

inline Bytes Usb20Extension(uint8_t attributes) {
  Bytes d = Capability(2, 7);
  d[3] = attributes;
  return d;
}

inline Bytes SuperSpeedCapability() {
  return {10, 0x10, 3, 0x00, 0x0E, 0x00, 0x01, 0x0A, 0xFF, 0x07};
}

inline Bytes ContainerId(uint8_t first) {
  Bytes d = Capability(4, 20);
  for (uint8_t i = 0; i < 16; ++i) d[4 + i] = uint8_t(first + i);
  return d;
}

// BOS header (wTotalLength and bNumDeviceCaps filled in) followed by the capabilities.
inline Bytes Bos(std::initializer_list<Bytes> capabilities) {
  Bytes set = Join({{5, 0x0F, 0, 0, uint8_t(capabilities.size())}, Join(capabilities)});
  PutWord(set, 2, uint16_t(set.size()));
  return set;
}

}  // namespace TestDescriptors
