#include "protocol/config_block.h"

#include "protocol/byte_order.h"
#include "protocol/plug_commands.h"

PlugConfigBlock EncodePlugConfig(const PlugConfig& c) {
  PlugConfigBlock b{};
  b[0] = c.DataFlow;
  b[1] = c.EndpointType;
  b[2] = c.InNumber;
  b[3] = c.OutNumber;
  b[4] = c.Burst;
  b[5] = c.Interval;
  b[6] = c.Reserved;
  b[7] = c.IsoPackets;
  PutLe16(&b[8], c.BytesPerInterval);
  b[10] = c.ConnectionType;
  b[11] = c.BufferCount;
  PutLe16(&b[12], c.BufferSize);
  return b;
}

bool DecodePlugConfig(const uint8_t* b, size_t length, PlugConfig* config) {
  if (b == nullptr || length < PLUG_CONFIG_BLOCK_SIZE) return false;
  PlugConfig c;
  c.DataFlow = b[0];
  c.EndpointType = b[1];
  c.InNumber = b[2];
  c.OutNumber = b[3];
  c.Burst = b[4];
  c.Interval = b[5];
  c.Reserved = b[6];
  c.IsoPackets = b[7];
  c.BytesPerInterval = GetLe16(b + 8);
  c.ConnectionType = b[10];
  c.BufferCount = b[11];
  c.BufferSize = GetLe16(b + 12);
  if (c.DataFlow > FLOW_BOTH) return false;
  if (c.EndpointType != USB_TRANSFER_ISOCHRONOUS && c.EndpointType != USB_TRANSFER_BULK) {
    return false;
  }
  constexpr uint8_t displayNumber = PLUG_DISPLAY_ENDPOINT & 0x0F;
  if (c.InNumber < 1 || c.InNumber > 15 || c.InNumber == displayNumber) return false;
  if (c.OutNumber < 1 || c.OutNumber > 15) return false;
  if (c.Burst < 1 || c.Burst > 16 || c.Interval < 1 || c.Interval > 16) return false;
  if (c.IsoPackets < 1 || c.IsoPackets > 3) return false;
  if (c.BufferCount == 0 || c.BufferSize == 0) return false;
  *config = c;
  return true;
}
