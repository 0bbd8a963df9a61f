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

uint32_t DecodeTransferRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                               uint32_t outLength, TransferRequest* request) {
  if (!IsTransferRequest(code) || in == nullptr || inLength < DRIVER_TRANSFER_BLOCK_SIZE) {
    return ERROR_INVALID_PARAMETER;
  }
  // Filled in place: this runs on every transfer, and a refused request's fields are
  // not looked at.
  TransferRequest& r = *request;
  r = TransferRequest();
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
  // Only the fields a driver reads.
  const uint8_t* b = r.Block;
  const uint32_t recordOffset = GetLe32(b + DTB_PACKET_RECORD_OFFSET_OFFSET);
  const uint32_t recordLength = GetLe32(b + DTB_PACKET_RECORD_LENGTH_OFFSET);
  if (recordLength != 0) {
    if (!InsideBlock(recordOffset, recordLength, blockLength)) return ERROR_INVALID_PARAMETER;
    r.Records = r.Block + recordOffset;
    r.Packets = recordLength / ISO_PACKET_RESULT_SIZE;
  }
  if (r.Form != TransferForm::Direct) {
    const uint32_t bufferOffset = GetLe32(b + DTB_BUFFER_OFFSET_OFFSET);
    const uint32_t bufferLength = GetLe32(b + DTB_BUFFER_LENGTH_OFFSET);
    if (!InsideBlock(bufferOffset, bufferLength, blockLength)) return ERROR_INVALID_PARAMETER;
    r.Data = r.Block + bufferOffset;
    r.Length = bufferLength;
    r.HeaderBytes = bufferOffset;
  }
  if (r.Form == TransferForm::Endpoint0) {
    const DriverTransferBlock header = ReadDriverTransferBlock(b);
    if (r.Length < header.wLength) return ERROR_INVALID_PARAMETER;
    r.Setup = {header.bmRequestType, header.bRequest, header.wValue, header.wIndex, header.wLength};
    r.Length = header.wLength;
  } else {
    r.EndpointAddress = b[DTB_ENDPOINT_ADDRESS_OFFSET];
    if (r.EndpointAddress == 0) return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
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
