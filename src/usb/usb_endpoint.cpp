#include "usb/usb_endpoint.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"
#include "platform/win_error.h"

namespace {
constexpr uint8_t kTransferTypeControl = 0;
constexpr uint8_t kTransferTypeIsochronous = 1;
constexpr uint8_t kTransferTypeBulk = 2;
constexpr uint8_t kTransferTypeInterrupt = 3;
constexpr uint32_t kHeader = DRIVER_TRANSFER_BLOCK_SIZE;

// Rejects what no request can carry: a negative length, or data without a buffer.
bool ValidData(const uint8_t* buffer, int32_t length) {
  return length >= 0 && (length == 0 || buffer != nullptr);
}
// Free list of context-sized blocks, per thread so that it needs no lock. Bounded: a
// thread that releases more than it ever makes again hands the rest back.
class ContextFreeList {
 public:
  static constexpr size_t kKeep = 128;
  ~ContextFreeList() {
    for (size_t i = 0; i < count_; ++i) ::operator delete(blocks_[i]);
  }
  void* Take() { return count_ > 0 ? blocks_[--count_] : nullptr; }
  bool Give(void* block) {
    if (count_ == kKeep) return false;
    blocks_[count_++] = block;
    return true;
  }

 private:
  void* blocks_[kKeep];
  size_t count_ = 0;
};
thread_local ContextFreeList t_contextFreeList;
}  // namespace

void* UsbEndpoint::RequestContext::operator new(size_t size) {
  if (size == sizeof(RequestContext)) {
    if (void* block = t_contextFreeList.Take()) return block;
  }
  return ::operator new(size);
}

void UsbEndpoint::RequestContext::operator delete(void* memory) noexcept {
  if (memory != nullptr && !t_contextFreeList.Give(memory)) ::operator delete(memory);
}

std::unique_ptr<UsbEndpoint> UsbEndpoint::FromDescriptor(DriverHandle handle,
                                                         const uint8_t* descriptor,
                                                         const uint8_t* companion) {
  switch (descriptor[3] & 3) {
    case kTransferTypeControl:
      // A control endpoint has no use for a companion.
      return std::make_unique<UsbControlEndpoint>(handle, descriptor, nullptr);
    case kTransferTypeIsochronous:
      return std::make_unique<UsbIsocEndpoint>(handle, descriptor, companion);
    case kTransferTypeBulk:
      return std::make_unique<UsbBulkEndpoint>(handle, descriptor, companion);
    default:
      return std::make_unique<UsbInterruptEndpoint>(handle, descriptor, companion);
  }
}

UsbEndpoint::UsbEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion)
    : DeviceHandle(handle) {
  bLength = descriptor[0];
  bDescriptorType = descriptor[1];
  bEndpointAddress = descriptor[2];
  bmAttributes = descriptor[3];
  const uint16_t wMaxPacketSize = GetLe16(descriptor + 4);
  bInterval = descriptor[6];
  PacketsPerInterval = static_cast<uint16_t>(((wMaxPacketSize & 0x1800) >> 11) + 1);
  MaxPacketSize = static_cast<uint16_t>((wMaxPacketSize & 0x7FF) * PacketsPerInterval);
  IsIn.store((bEndpointAddress & 0x80) != 0, std::memory_order_relaxed);
  if (companion != nullptr) {
    CompanionLength = companion[0];
    CompanionType = companion[1];
    MaxBurst.store(companion[2], std::memory_order_relaxed);
    CompanionAttributes = companion[3];
    // Both products are kept to 16 bits, as the field is.
    uint32_t size = (uint32_t(companion[2]) + 1) * MaxPacketSize;
    MaxPacketSize = static_cast<uint16_t>(size);
    if ((bmAttributes & 3) == kTransferTypeIsochronous) {
      MaxPacketSize = static_cast<uint16_t>(((companion[3] & 3) + 1) * size);
    }
    BytesPerInterval = GetLe16(companion + 4);
  }
}

UsbEndpoint::RequestContext* UsbEndpoint::SendTransfer(std::unique_ptr<RequestContext> context,
                                                       uint32_t code, uint8_t* dataBuffer,
                                                       uint32_t dataLength, Overlapped* record,
                                                       bool copyStatus) {
  uint8_t* block = context->Block.data();
  const uint32_t blockSize = static_cast<uint32_t>(context->Block.size());
  uint32_t bytes = 0;
  uint32_t error = 0;
  bool done;
  if (code == IOCTL_DIRECT_TRANSFER) {
    done = GetDriverPort().IoControl(DeviceHandle, code, block, blockSize, dataBuffer, dataLength,
                                     &bytes, record, &error);
  } else {
    done = GetDriverPort().IoControl(DeviceHandle, code, block, blockSize, block, blockSize, &bytes,
                                     record, &error);
  }
  if (done) error = ERROR_SUCCESS;
  context->Accepted = done || error == ERROR_IO_PENDING;
  context->SubmitError = error;
  if (copyStatus) {
    // A pending block belongs to the driver, which may be writing it right now; its
    // statuses are still the zeros it was submitted with.
    uint32_t nt = 0;
    uint32_t usbd = 0;
    if (error != ERROR_IO_PENDING) {
      nt = GetLe32(block + DTB_NTSTATUS_OFFSET);
      usbd = GetLe32(block + DTB_USBDSTATUS_OFFSET);
    }
    UsbdStatus.store(usbd, std::memory_order_relaxed);
    NtStatus.store(nt, std::memory_order_relaxed);
  }
  LastWinError.store(error, std::memory_order_relaxed);
  return context.release();
}

UsbEndpoint::RequestContext* UsbEndpoint::SubmitBuffered(uint8_t* buffer, int32_t length,
                                                         Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || !ValidData(buffer, length)) return nullptr;
  const uint32_t dataLength = static_cast<uint32_t>(length);
  auto context = std::make_unique<RequestContext>();
  context->Block.assign(kHeader + dataLength, 0);
  context->BufferOffset = kHeader;
  context->BufferLength = dataLength;
  context->IsIn = IsIn.load(std::memory_order_relaxed);
  DriverTransferBlock header;
  header.EndpointAddress = bEndpointAddress;
  header.BufferOffset = kHeader;
  header.BufferLength = dataLength;
  WriteDriverTransferBlock(header, context->Block.data());
  if (dataLength > 0) std::memcpy(context->Block.data() + kHeader, buffer, dataLength);
  return SendTransfer(std::move(context), IOCTL_BUFFERED_TRANSFER, nullptr, 0, record, true);
}

UsbEndpoint::RequestContext* UsbEndpoint::SubmitDirect(uint8_t* buffer, int32_t length,
                                                       Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || !ValidData(buffer, length)) return nullptr;
  auto context = std::make_unique<RequestContext>();
  context->Block.assign(kHeader, 0);
  context->IsIn = IsIn.load(std::memory_order_relaxed);
  DriverTransferBlock header;
  header.EndpointAddress = bEndpointAddress;
  WriteDriverTransferBlock(header, context->Block.data());
  return SendTransfer(std::move(context), IOCTL_DIRECT_TRANSFER, buffer,
                      static_cast<uint32_t>(length), record, true);
}

UsbEndpoint::RequestContext* UsbEndpoint::SubmitByMode(uint8_t* buffer, int32_t length,
                                                       Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE) return nullptr;
  if (TransferMode.load(std::memory_order_relaxed) == 1) {
    return SubmitDirect(buffer, length, record);
  }
  return SubmitBuffered(buffer, length, record);
}

UsbEndpoint::RequestContext* UsbIsocEndpoint::SubmitDirect(uint8_t* buffer, int32_t length,
                                                           Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || !ValidData(buffer, length)) return nullptr;
  if (MaxPacketSize == 0) return nullptr;
  const uint32_t packets = (static_cast<uint32_t>(length) + MaxPacketSize - 1) / MaxPacketSize;
  if (packets == 0) return nullptr;
  auto context = std::make_unique<RequestContext>();
  context->PacketRecordLength = packets * ISO_PACKET_RESULT_SIZE;
  context->Block.assign(kHeader + context->PacketRecordLength, 0);
  context->IsIn = IsIn.load(std::memory_order_relaxed);
  DriverTransferBlock header;
  header.EndpointAddress = bEndpointAddress;
  header.PacketRecordOffset = kHeader;
  header.PacketRecordLength = context->PacketRecordLength;
  WriteDriverTransferBlock(header, context->Block.data());
  return SendTransfer(std::move(context), IOCTL_DIRECT_TRANSFER, buffer,
                      static_cast<uint32_t>(length), record, true);
}

UsbEndpoint::RequestContext* UsbIsocEndpoint::SubmitBuffered(uint8_t* buffer, int32_t length,
                                                             Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || !ValidData(buffer, length)) return nullptr;
  if (MaxPacketSize == 0) return nullptr;
  const uint32_t dataLength = static_cast<uint32_t>(length);
  const uint32_t packets = (dataLength + MaxPacketSize - 1) / MaxPacketSize;
  if (packets == 0) return nullptr;
  auto context = std::make_unique<RequestContext>();
  context->PacketRecordLength = packets * ISO_PACKET_RESULT_SIZE;
  context->BufferOffset = kHeader + context->PacketRecordLength;
  context->BufferLength = dataLength;
  context->Block.assign(context->BufferOffset + dataLength, 0);
  context->IsIn = IsIn.load(std::memory_order_relaxed);
  DriverTransferBlock header;
  header.EndpointAddress = bEndpointAddress;
  header.PacketRecordOffset = kHeader;
  header.PacketRecordLength = context->PacketRecordLength;
  header.BufferOffset = context->BufferOffset;
  header.BufferLength = dataLength;
  WriteDriverTransferBlock(header, context->Block.data());
  if (dataLength > 0) {
    std::memcpy(context->Block.data() + context->BufferOffset, buffer, dataLength);
  }
  return SendTransfer(std::move(context), IOCTL_BUFFERED_TRANSFER, nullptr, 0, record, true);
}

UsbControlEndpoint::UsbControlEndpoint(DriverHandle handle, const uint8_t* descriptor,
                                       const uint8_t* companion)
    : UsbEndpoint(handle, descriptor, companion) {
  TransferMode.store(0, std::memory_order_relaxed);
}

UsbEndpoint::RequestContext* UsbControlEndpoint::SubmitTransfer(uint8_t* buffer, int32_t length,
                                                                Overlapped* record) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE) return nullptr;
  // wLength is 16 bits wide: a longer control transfer cannot be described.
  if (!ValidData(buffer, length) || length > 0xFFFF) {
    LastWinError.store(ERROR_INVALID_PARAMETER, std::memory_order_relaxed);
    return nullptr;
  }
  const bool in = Direction == 1;
  IsIn.store(in, std::memory_order_relaxed);
  const uint32_t dataLength = static_cast<uint32_t>(length);
  auto context = std::make_unique<RequestContext>();
  context->Block.assign(kHeader + dataLength, 0);
  context->BufferOffset = kHeader;
  context->BufferLength = dataLength;
  context->IsIn = in;
  DriverTransferBlock header;
  header.bmRequestType =
      static_cast<uint8_t>((Recipient & 0x1F) | ((RequestType & 3) << 5) | (Direction << 7));
  header.bRequest = RequestCode;
  header.wValue = RequestValue;
  header.wIndex = RequestIndex;
  header.wLength = static_cast<uint16_t>(dataLength);
  const uint32_t timeoutMs = TimeoutMs.load(std::memory_order_relaxed);
  header.Timeout = (timeoutMs >= 1 && timeoutMs <= 999) ? 1 : timeoutMs / 1000;
  header.EndpointAddress = 0;
  header.BufferOffset = kHeader;
  header.BufferLength = dataLength;
  WriteDriverTransferBlock(header, context->Block.data());
  if (dataLength > 0) std::memcpy(context->Block.data() + kHeader, buffer, dataLength);
  return SendTransfer(std::move(context), IOCTL_EP0_TRANSFER, nullptr, 0, record, false);
}

bool UsbControlEndpoint::ControlRead(uint8_t* buffer, int32_t& length) {
  Direction = 1;
  return TransferSync(buffer, length);
}

bool UsbControlEndpoint::ControlWrite(uint8_t* buffer, int32_t& length) {
  Direction = 0;
  return TransferSync(buffer, length);
}

bool UsbEndpoint::CompleteTransfer(uint8_t* buffer, int32_t& length, Overlapped* record,
                                   RequestContext* context, IsoPacketResult* packets) {
  if (context == nullptr) {
    // No request was made: a failed transfer of nothing.
    length = 0;
    BytesTransferred.store(0, std::memory_order_relaxed);
    return false;
  }
  std::unique_ptr<RequestContext> owned(context);
  uint32_t bytes = 0;
  uint32_t error = 0;
  bool gotResult = false;
  if (owned->Accepted) {
    gotResult = GetOverlappedResult(record, &bytes, false, &error);
    if (!gotResult && error == ERROR_IO_INCOMPLETE) {
      // Still in the driver's hands: the block cannot be released under it. End the
      // endpoint's requests (the abort returns once they have all completed) and
      // collect this one; the transfer counts as failed.
      AbortTransfers();
      if (!GetOverlappedResult(record, &bytes, false, &error) && error == ERROR_IO_INCOMPLETE) {
        // A driver that keeps it even so gets to keep the block: neither freeing it
        // under the driver nor waiting for ever is better.
        (void)owned.release();
        length = 0;
        BytesTransferred.store(0, std::memory_order_relaxed);
        return false;
      }
      bytes = 0;
    }
    // A request that completed with an error status still reports its byte count.
  }
  // Signed on purpose: a driver that reports fewer bytes than the header is a
  // negative count, which copies nothing.
  int32_t moved = bytes != 0 ? static_cast<int32_t>(bytes - owned->BufferOffset) : 0;
  length = moved;
  BytesTransferred.store(static_cast<uint32_t>(moved), std::memory_order_relaxed);
  const uint32_t usbd = GetLe32(owned->Block.data() + DTB_USBDSTATUS_OFFSET);
  const uint32_t nt = GetLe32(owned->Block.data() + DTB_NTSTATUS_OFFSET);
  UsbdStatus.store(usbd, std::memory_order_relaxed);
  NtStatus.store(nt, std::memory_order_relaxed);
  if (owned->IsIn && TransferMode.load(std::memory_order_relaxed) == 0 && moved > 0 &&
      buffer != nullptr) {
    const uint32_t copy = std::min(static_cast<uint32_t>(moved), owned->BufferLength);
    std::memcpy(buffer, owned->Block.data() + owned->BufferOffset, copy);
  }
  if (packets != nullptr && moved >= 1 && owned->PacketRecordLength > 0) {
    const uint32_t count = owned->PacketRecordLength / ISO_PACKET_RESULT_SIZE;
    for (uint32_t i = 0; i < count; ++i) {
      packets[i] = ReadIsoPacketResult(owned->Block.data() + kHeader + i * ISO_PACKET_RESULT_SIZE);
    }
  }
  return gotResult && usbd == 0 && nt == 0;
}

bool UsbEndpoint::WaitForSync(Overlapped* record, const RequestContext* context) {
  // Without a request there is nothing to wait for; waiting on the stale error of an
  // earlier submission could wait for ever.
  if (context == nullptr) return false;
  const uint32_t error = context->SubmitError;
  LastWinError.store(error, std::memory_order_relaxed);
  if (error == ERROR_SUCCESS) return true;
  if (error != ERROR_IO_PENDING) return false;
  Event* event = record->hEvent;
  uint32_t wait = WaitForOverlapped(record, TimeoutMs.load(std::memory_order_relaxed));
  if (wait == WAIT_OBJECT_0) return true;
  if (wait != WAIT_TIMEOUT) return false;
  AbortTransfers();
  wait = WaitForSingleObject(event, 50);
  if (wait != WAIT_TIMEOUT && wait != WAIT_FAILED) return wait == WAIT_OBJECT_0;
  AbortTransfers();
  return WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
}

bool UsbEndpoint::TransferSync(uint8_t* buffer, int32_t& length, IsoPacketResult* packets) {
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  RequestContext* context = SubmitTransfer(buffer, length, &record);
  const bool waited = WaitForSync(&record, context);
  const bool done = CompleteTransfer(buffer, length, &record, context, packets);
  return waited && done;
}

bool UsbEndpoint::AwaitTransfer(Overlapped* record, uint32_t timeoutMs) {
  const uint32_t error = LastWinError.load(std::memory_order_relaxed);
  if (error == ERROR_SUCCESS) return true;
  if (error != ERROR_IO_PENDING || record == nullptr) return false;
  return WaitForSingleObject(record->hEvent, timeoutMs) == WAIT_OBJECT_0;
}

bool UsbEndpoint::AbortTransfers() {
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  uint8_t address = bEndpointAddress;
  uint32_t bytes = 0;
  uint32_t error = 0;
  if (!GetDriverPort().IoControl(DeviceHandle, IOCTL_ABORT_ENDPOINT, &address, 1, nullptr, 0,
                                 &bytes, &record, &error) &&
      error == ERROR_IO_PENDING) {
    WaitForSingleObject(&event, INFINITE);
  }
  return true;
}

bool UsbEndpoint::ResetEndpoint() {
  uint8_t address = bEndpointAddress;
  uint32_t bytes = 0;
  uint32_t error = 0;
  if (GetDriverPort().IoControl(DeviceHandle, IOCTL_RESET_ENDPOINT, &address, 1, nullptr, 0, &bytes,
                                nullptr, &error)) {
    return true;
  }
  LastWinError.store(error, std::memory_order_relaxed);
  return false;
}

void UsbEndpoint::SetDriverTransferSize(uint32_t size) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || MaxPacketSize == 0) return;
  // Rounded up to whole packets; a size within one packet of 4 GiB wraps as the
  // 32-bit field does.
  const uint64_t rounded = (uint64_t(size) + MaxPacketSize - 1) / MaxPacketSize * MaxPacketSize;
  uint8_t block[TRANSFER_SIZE_BLOCK_SIZE];
  WriteTransferSizeBlock(bEndpointAddress, static_cast<uint32_t>(rounded), block);
  uint32_t bytes = 0;
  uint32_t error = 0;
  if (!GetDriverPort().IoControl(DeviceHandle, IOCTL_SET_TRANSFER_SIZE, block, sizeof block, block,
                                 sizeof block, &bytes, nullptr, &error)) {
    LastWinError.store(error, std::memory_order_relaxed);
  }
}
