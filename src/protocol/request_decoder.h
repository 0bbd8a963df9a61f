// The driver's side of a transfer request: checks a request block and the buffers
// that came with it, and says where everything is. Every backend that carries out
// the program's requests (the virtual driver, a libusb backend) decodes them here,
// so that they accept and refuse the same requests.
//
// A request is refused (ERROR_INVALID_PARAMETER) when its block is shorter than a
// DriverTransferBlock, when an offset and length it gives reach outside the block
// they point into, when an endpoint-0 data area is shorter than the setup's wLength,
// or when a data transfer names endpoint 0. Nothing is read outside the buffers.
#pragma once
#include <cstdint>

#include "protocol/driver_requests.h"
#include "protocol/usb_standard.h"

enum class TransferForm : uint8_t { Endpoint0, Buffered, Direct };

struct TransferRequest {
  TransferForm Form = TransferForm::Direct;
  uint8_t EndpointAddress = 0;  // 0 for endpoint-0 requests
  SetupPacket Setup;            // endpoint-0 requests only
  // The block the driver writes the statuses and packet records back into: the
  // output buffer for the endpoint-0 and buffered forms, the caller's input block for
  // the direct form.
  uint8_t* Block = nullptr;
  uint8_t* Data = nullptr;  // inside Block (endpoint 0, buffered) or the caller's buffer
  uint32_t Length = 0;      // data bytes asked for
  // Reported in the byte count on top of the data bytes: the buffer offset for the
  // forms that answer with the whole block, 0 for the direct form.
  uint32_t HeaderBytes = 0;
  uint8_t* Records = nullptr;  // the IsoPacketResult area, or null when there is none
  uint32_t Packets = 0;        // whole records in that area
};

constexpr bool IsTransferRequest(uint32_t code) {
  return code == IOCTL_EP0_TRANSFER || code == IOCTL_BUFFERED_TRANSFER ||
         code == IOCTL_DIRECT_TRANSFER;
}

// For IOCTL_EP0_TRANSFER, IOCTL_BUFFERED_TRANSFER and IOCTL_DIRECT_TRANSFER. The two
// forms that answer through the output buffer get the input block copied there first,
// as the platform does before a driver sees such a request. ERROR_SUCCESS, or
// ERROR_INVALID_PARAMETER with *request not to be used.
uint32_t DecodeTransferRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                               uint32_t outLength, TransferRequest* request);

// The statuses of a finished request, into its block.
inline void WriteTransferStatus(uint8_t* block, uint32_t ntStatus, uint32_t usbdStatus) {
  PutLe32(block + DTB_NTSTATUS_OFFSET, ntStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, usbdStatus);
}

// The one-byte endpoint address of the reset and abort requests.
uint32_t DecodeEndpointRequest(const void* in, uint32_t inLength, uint8_t* endpointAddress);
// The size block of the set-transfer-size request.
uint32_t DecodeTransferSizeRequest(const void* in, uint32_t inLength, uint8_t* endpointAddress,
                                   uint32_t* size);
