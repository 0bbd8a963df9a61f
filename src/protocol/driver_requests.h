// The driver request interface: I/O-control codes, the request block that heads
// every transfer, the per-packet isochronous result and the transfer-size block.
// Shared by the program (which builds requests) and any driver backend (which
// carries them out). Layouts are packed little-endian and serialised byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/byte_order.h"
#include "protocol/speed_codes.h"  // the answers of IOCTL_GET_SPEED

constexpr uint32_t DriverIoctl(uint32_t function, uint32_t method) {
  return (0x22u << 16) | (function << 2) | method;
}

constexpr uint32_t IOCTL_GET_DRIVER_REVISION = DriverIoctl(0, 0);  // 0x220000
constexpr uint32_t IOCTL_GET_USBDI_REVISION = DriverIoctl(1, 0);   // 0x220004
constexpr uint32_t IOCTL_GET_ALT_SETTING = DriverIoctl(2, 0);      // 0x220008
constexpr uint32_t IOCTL_GET_BUS_ADDRESS = DriverIoctl(4, 0);      // 0x220010
constexpr uint32_t IOCTL_EP0_TRANSFER = DriverIoctl(8, 0);         // 0x220020
constexpr uint32_t IOCTL_BUFFERED_TRANSFER = DriverIoctl(9, 0);    // 0x220024
constexpr uint32_t IOCTL_RESTART_DEVICE = DriverIoctl(10, 0);      // 0x220028
constexpr uint32_t IOCTL_RESET_ENDPOINT = DriverIoctl(11, 0);      // 0x22002C
constexpr uint32_t IOCTL_SET_TRANSFER_SIZE = DriverIoctl(14, 0);   // 0x220038
constexpr uint32_t IOCTL_GET_DEVICE_NAME = DriverIoctl(15, 0);     // 0x22003C
constexpr uint32_t IOCTL_GET_FRIENDLY_NAME = DriverIoctl(16, 0);   // 0x220040
constexpr uint32_t IOCTL_ABORT_ENDPOINT = DriverIoctl(17, 0);      // 0x220044
constexpr uint32_t IOCTL_DIRECT_TRANSFER = DriverIoctl(18, 3);     // 0x22004B
constexpr uint32_t IOCTL_GET_SPEED = DriverIoctl(19, 0);           // 0x22004C

constexpr size_t DRIVER_TRANSFER_BLOCK_SIZE = 38;
constexpr size_t ISO_PACKET_RESULT_SIZE = 8;
constexpr size_t TRANSFER_SIZE_BLOCK_SIZE = 5;

// Field offsets inside the serialised block.
constexpr size_t DTB_ENDPOINT_ADDRESS_OFFSET = 13;
constexpr size_t DTB_NTSTATUS_OFFSET = 14;
constexpr size_t DTB_USBDSTATUS_OFFSET = 18;
constexpr size_t DTB_PACKET_RECORD_OFFSET_OFFSET = 22;
constexpr size_t DTB_PACKET_RECORD_LENGTH_OFFSET = 26;
constexpr size_t DTB_BUFFER_OFFSET_OFFSET = 30;
constexpr size_t DTB_BUFFER_LENGTH_OFFSET = 34;

struct DriverTransferBlock {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  uint32_t Timeout = 0;  // whole seconds, endpoint-0 requests only
  uint8_t Reserved = 0;
  uint8_t EndpointAddress = 0;
  uint32_t NtStatus = 0;
  uint32_t UsbdStatus = 0;
  uint32_t PacketRecordOffset = 0;
  uint32_t PacketRecordLength = 0;
  uint32_t BufferOffset = 0;
  uint32_t BufferLength = 0;
};

// dst/src hold at least DRIVER_TRANSFER_BLOCK_SIZE bytes.
void WriteDriverTransferBlock(const DriverTransferBlock& block, uint8_t* dst);
DriverTransferBlock ReadDriverTransferBlock(const uint8_t* src);

struct IsoPacketResult {
  uint32_t Status = 0;  // 0 = the packet succeeded
  uint32_t Length = 0;  // data bytes of the packet
};
static_assert(sizeof(IsoPacketResult) == ISO_PACKET_RESULT_SIZE);

void WriteIsoPacketResult(const IsoPacketResult& result, uint8_t* dst);
IsoPacketResult ReadIsoPacketResult(const uint8_t* src);

void WriteTransferSizeBlock(uint8_t endpointAddress, uint32_t size, uint8_t* dst);
void ReadTransferSizeBlock(const uint8_t* src, uint8_t* endpointAddress, uint32_t* size);
