// The 14-byte configuration block the host sends with the configuration request.
// The host builds its fields from the test configuration; the plug takes them after
// its next re-enumeration.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/speed_codes.h"
#include "protocol/usb_standard.h"

constexpr size_t PLUG_CONFIG_BLOCK_SIZE = 14;
using PlugConfigBlock = std::array<uint8_t, PLUG_CONFIG_BLOCK_SIZE>;

// Byte 0: who moves the data.
enum PlugDataFlow : uint8_t {
  FLOW_LOOPBACK = 0,       // the plug echoes what the host writes
  FLOW_PLUG_SENDS = 1,     // benchmark read
  FLOW_PLUG_RECEIVES = 2,  // benchmark write
  FLOW_BOTH = 3,           // benchmark in both directions
};

struct PlugConfig {
  uint8_t DataFlow = FLOW_LOOPBACK;
  uint8_t EndpointType = USB_TRANSFER_BULK;  // or USB_TRANSFER_ISOCHRONOUS
  uint8_t InNumber = 1;
  uint8_t OutNumber = 1;
  uint8_t Burst = 1;
  uint8_t Interval = 1;  // service interval exponent
  uint8_t Reserved = 0;
  uint8_t IsoPackets = 1;            // packets per service interval
  uint16_t BytesPerInterval = 1024;  // iso packets x burst x max packet size
  uint8_t ConnectionType = SPEED_SUPER;
  uint8_t BufferCount = 64;
  uint16_t BufferSize = 1024;
  friend bool operator==(const PlugConfig&, const PlugConfig&) = default;
};

PlugConfigBlock EncodePlugConfig(const PlugConfig& config);

// Unpacks a block of length bytes. False when it is shorter than the block or asks for
// something no plug can do: an unknown flow or endpoint type, endpoint numbers outside
// 1..15 or IN 7 (the display's), burst or interval outside 1..16, 1..3 iso packets,
// no buffers.
bool DecodePlugConfig(const uint8_t* block, size_t length, PlugConfig* config);
