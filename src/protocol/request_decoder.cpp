#include "protocol/request_decoder.h"

#include <algorithm>
#include <cstring>

#include "platform/win_error.h"

namespace {

// offset and length name an area inside a block of blockLength bytes, after the header.
bool InsideBlock(uint32_t offset, uint32_t length, uint32_t blockLength) {
  return offset >= DRIVER_TRANSFER_BLOCK_SIZE && uint64_t(offset) + length <= blockLength;
}

}  // namespace

bool IsTransferRequest(uint32_t code) {
  return code == IOCTL_EP0_TRANSFER || code == IOCTL_BUFFERED_TRANSFER ||
         code == IOCTL_DIRECT_TRANSFER;
}

uint32_t DecodeTransferRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                               uint32_t outLength, TransferRequest* request) {
  if (!IsTransferRequest(code) || in == nullptr || inLength < DRIVER_TRANSFER_BLOCK_SIZE) {
    return ERROR_INVALID_PARAMETER;
  }
  TransferRequest r;
  uint32_t blockLength;
  if (code == IOCTL_DIRECT_TRANSFER) {
    // The direct form hands the caller's input block to the driver as it is: the
    // statuses and packet records go back into it.
    r.Form = TransferForm::Direct;
    r.Block = const_cast<uint8_t*>(static_cast<const uint8_t*>(in));
    blockLength = inLength;
    r.Data = static_cast<uint8_t*>(out);
    r.Length = out ? outLength : 0;
  } else {
    if (out == nullptr || outLength < DRIVER_TRANSFER_BLOCK_SIZE) return ERROR_INVALID_PARAMETER;
    if (out != in) std::memmove(out, in, std::min(inLength, outLength));
    r.Form = code == IOCTL_EP0_TRANSFER ? TransferForm::Endpoint0 : TransferForm::Buffered;
    r.Block = static_cast<uint8_t*>(out);
    blockLength = outLength;
  }
  const DriverTransferBlock header = ReadDriverTransferBlock(r.Block);
  if (header.PacketRecordLength != 0) {
    if (!InsideBlock(header.PacketRecordOffset, header.PacketRecordLength, blockLength)) {
      return ERROR_INVALID_PARAMETER;
    }
    r.Records = r.Block + header.PacketRecordOffset;
    r.Packets = header.PacketRecordLength / ISO_PACKET_RESULT_SIZE;
  }
  if (r.Form != TransferForm::Direct) {
    if (!InsideBlock(header.BufferOffset, header.BufferLength, blockLength)) {
      return ERROR_INVALID_PARAMETER;
    }
    r.Data = r.Block + header.BufferOffset;
    r.Length = header.BufferLength;
    r.HeaderBytes = header.BufferOffset;
  }
  if (r.Form == TransferForm::Endpoint0) {
    if (header.BufferLength < header.wLength) return ERROR_INVALID_PARAMETER;
    r.Setup = {header.bmRequestType, header.bRequest, header.wValue, header.wIndex, header.wLength};
    r.Length = header.wLength;
  } else {
    r.EndpointAddress = header.EndpointAddress;
    if (r.EndpointAddress == 0) return ERROR_INVALID_PARAMETER;
  }
  *request = r;
  return ERROR_SUCCESS;
}

void WriteTransferStatus(uint8_t* block, uint32_t ntStatus, uint32_t usbdStatus) {
  PutLe32(block + DTB_NTSTATUS_OFFSET, ntStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, usbdStatus);
}

uint32_t DecodeEndpointRequest(const void* in, uint32_t inLength, uint8_t* endpointAddress) {
  if (in == nullptr || inLength < 1) return ERROR_INVALID_PARAMETER;
  *endpointAddress = *static_cast<const uint8_t*>(in);
  return ERROR_SUCCESS;
}

uint32_t DecodeTransferSizeRequest(const void* in, uint32_t inLength, uint8_t* endpointAddress,
                                   uint32_t* size) {
  if (in == nullptr || inLength < TRANSFER_SIZE_BLOCK_SIZE) return ERROR_INVALID_PARAMETER;
  ReadTransferSizeBlock(static_cast<const uint8_t*>(in), endpointAddress, size);
  return ERROR_SUCCESS;
}
