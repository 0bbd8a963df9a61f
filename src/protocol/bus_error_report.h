// The plug's USB 3.0 bus-error counters: the mask that selects the kinds it counts,
// and the 16-byte report of the bus-error counter request.
#pragma once
#include <cstddef>
#include <cstdint>

// Error-mask data: before firmware 23 a 16-bit physical-layer mask, from 23 on a
// 32-bit mask with the physical-layer kinds (bits 0..8) in the low half and the
// link-layer kinds (bits 0..14) in the high half.
constexpr uint16_t PLUG_ERROR_MASK_OLD = 0x01FE;
constexpr uint32_t PLUG_ERROR_MASK_NEW = 0x7FFF01FF;
constexpr uint32_t PLUG_PHY_ERROR_KINDS = 0x01FF;
constexpr uint32_t PLUG_LINK_ERROR_KINDS = 0x7FFF;
// The first firmware that takes the 32-bit mask and the counter start and end commands.
constexpr int32_t PLUG_FIRMWARE_NEW_COUNTERS = 23;

constexpr uint32_t PhyErrorMask(uint32_t mask) {
  return mask & PLUG_PHY_ERROR_KINDS;
}
constexpr uint32_t LinkErrorMask(uint32_t mask) {
  return (mask >> 16) & PLUG_LINK_ERROR_KINDS;
}
// The 32-bit mask a 16-bit one stands for: it masks physical-layer kinds only.
constexpr uint32_t WidenErrorMask(uint16_t mask) {
  return (PLUG_LINK_ERROR_KINDS << 16) | mask;
}

constexpr size_t PLUG_BUS_ERROR_REPORT_SIZE = 16;

// Counts since the previous read, then the flags of the kinds seen.
struct BusErrorReport {
  uint32_t PhyCount = 0;
  uint32_t LinkCount = 0;
  uint32_t PhyFlags = 0;
  uint32_t LinkFlags = 0;
  friend bool operator==(const BusErrorReport&, const BusErrorReport&) = default;
};

// dst/src hold PLUG_BUS_ERROR_REPORT_SIZE bytes.
void WriteBusErrorReport(const BusErrorReport& report, uint8_t* dst);
BusErrorReport ReadBusErrorReport(const uint8_t* src);
