// The plug's reply to the bus-error counter request: the physical-layer and link-layer
// error counts since the previous read, and one flag bit per error kind seen.
#pragma once
#include <cstdint>
#include <vector>

struct BusErrorReport {
  uint32_t PhysicalCount = 0;
  uint32_t LinkCount = 0;
  uint32_t PhysicalFlags = 0;
  uint32_t LinkFlags = 0;
};

// Four little-endian 32-bit words in the order above; any 16 bytes are a report.
BusErrorReport ParseBusErrorReport(const uint8_t (&bytes)[16]);

// The line for each set flag bit, in bit order. Physical-layer bits above 8 and
// link-layer bits above 14 mean nothing; the 8b/10b line (bit 0) needs firmware 23,
// which is the first to count that kind.
std::vector<const char16_t*> PhysicalLayerFlagLines(uint32_t flags, int32_t firmwareNumber);
std::vector<const char16_t*> LinkLayerFlagLines(uint32_t flags);
