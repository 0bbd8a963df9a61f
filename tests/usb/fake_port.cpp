#include "usb/fake_port.h"

#include <algorithm>
#include <cstring>

#include "platform/win_error.h"

namespace {
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;
constexpr uint32_t kHeader = DRIVER_TRANSFER_BLOCK_SIZE;

class FakeInterfaceSet : public DeviceInterfaceSet {
 public:
  FakeInterfaceSet(std::vector<std::string> paths, std::map<uint32_t, uint32_t> errors)
      : paths_(std::move(paths)), errors_(std::move(errors)) {}
  uint32_t GetInterfacePath(uint32_t index, std::string* path) override {
    if (index >= paths_.size()) return ERROR_NO_MORE_ITEMS;
    auto it = errors_.find(index);
    if (it != errors_.end()) return it->second;
    *path = paths_[index];
    return ERROR_SUCCESS;
  }

 private:
  std::vector<std::string> paths_;
  std::map<uint32_t, uint32_t> errors_;
};

bool Refuse(uint32_t* error, uint32_t code) {
  if (error) *error = code;
  return false;
}
}  // namespace

FakePort::FakePort(bool install) : installed_(install) {
  if (installed_) SetDriverPort(this);
}

FakePort::~FakePort() {
  if (installed_) SetDriverPort(nullptr);
}

void FakePort::QueueAnswer(uint8_t endpointAddress, Answer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_[endpointAddress].push_back(std::move(answer));
}

std::vector<FakePort::Request> FakePort::Requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

std::vector<FakePort::Request> FakePort::RequestsWithCode(uint32_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Request> result;
  for (const Request& r : requests_) {
    if (r.Code == code) result.push_back(r);
  }
  return result;
}

void FakePort::ClearRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  requests_.clear();
}

size_t FakePort::PendingCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_.size();
}

void FakePort::CompletePending(size_t count) {
  std::lock_guard<std::mutex> guard(lock_);
  while (count-- > 0 && !pending_.empty()) {
    Call call = pending_.front();
    pending_.pop_front();
    const uint32_t bytes = Fill(call);
    Finish(call, call.Reply.Error, bytes);
  }
}

size_t FakePort::OpenHandleCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return openHandles_.size();
}

size_t FakePort::RegistrationCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return registrations_.size();
}

std::unique_ptr<DeviceInterfaceSet> FakePort::GetClassDevices(const Guid&, uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ClassDevicesError != 0) {
    if (error) *error = ClassDevicesError;
    return nullptr;
  }
  return std::make_unique<FakeInterfaceSet>(Paths, PathErrors);
}

DriverHandle FakePort::Open(const std::string& path, uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (OpenError != 0 || std::find(Paths.begin(), Paths.end(), path) == Paths.end()) {
    if (error) *error = OpenError != 0 ? OpenError : ERROR_FILE_NOT_FOUND;
    return INVALID_DRIVER_HANDLE;
  }
  const DriverHandle handle = nextHandle_++;
  openHandles_.insert(handle);
  return handle;
}

bool FakePort::Close(DriverHandle handle, uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (CloseError != 0) return Refuse(error, CloseError);
  if (openHandles_.erase(handle) == 0) return Refuse(error, ERROR_INVALID_HANDLE);
  return true;
}

NotifyHandle FakePort::RegisterClassNotification(const Guid&, DeviceNoticeRecipient* recipient,
                                                 uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ClassNotifyError != 0) {
    if (error) *error = ClassNotifyError;
    return NO_NOTIFY_HANDLE;
  }
  registrations_[nextRegistration_] = {true, INVALID_DRIVER_HANDLE, recipient};
  return nextRegistration_++;
}

NotifyHandle FakePort::RegisterHandleNotification(DriverHandle handle,
                                                  DeviceNoticeRecipient* recipient,
                                                  uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (HandleNotifyError != 0 || openHandles_.count(handle) == 0) {
    if (error) *error = HandleNotifyError != 0 ? HandleNotifyError : ERROR_INVALID_HANDLE;
    return NO_NOTIFY_HANDLE;
  }
  registrations_[nextRegistration_] = {false, handle, recipient};
  return nextRegistration_++;
}

void FakePort::SendNotice(const DeviceNotice& notice) {
  std::vector<DeviceNoticeRecipient*> recipients;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [id, r] : registrations_) {
      const bool matches =
          notice.IsInterface ? r.ForClass : (!r.ForClass && r.Handle == notice.Handle);
      if (matches && r.Recipient != nullptr) recipients.push_back(r.Recipient);
    }
  }
  for (DeviceNoticeRecipient* recipient : recipients) recipient->OnDeviceNotice(notice);
}

bool FakePort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (UnregisterError != 0) return Refuse(error, UnregisterError);
  if (registrations_.erase(registration) == 0) return Refuse(error, ERROR_INVALID_HANDLE);
  return true;
}

bool FakePort::IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                         uint32_t* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Request request;
  request.Handle = handle;
  request.Code = code;
  if (in != nullptr && inLength > 0) {
    const auto* bytes = static_cast<const uint8_t*>(in);
    request.Input.assign(bytes, bytes + inLength);
  }
  request.InLength = inLength;
  request.OutLength = outLength;
  request.Overlapped = record != nullptr;
  requests_.push_back(request);
  const size_t requestIndex = requests_.size() - 1;
  if (bytesReturned) *bytesReturned = 0;

  if (openHandles_.count(handle) == 0) return Refuse(error, ERROR_INVALID_HANDLE);
  auto failure = FailCodes.find(code);
  if (failure != FailCodes.end()) return Refuse(error, failure->second);

  if (code == IOCTL_ABORT_ENDPOINT) {
    if (inLength < 1 || in == nullptr) return Refuse(error, ERROR_INVALID_PARAMETER);
    const uint8_t endpoint = *static_cast<const uint8_t*>(in);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->Endpoint != endpoint) {
        ++it;
        continue;
      }
      PutLe32(it->Block + DTB_NTSTATUS_OFFSET, kStatusCancelled);
      PutLe32(it->Block + DTB_USBDSTATUS_OFFSET, kUsbdStatusCanceled);
      Finish(*it, ERROR_OPERATION_ABORTED, 0);
      it = pending_.erase(it);
    }
    if (record == nullptr) return true;
    if (AbortAnswersPending) {
      BeginOverlapped(record);
      CompleteOverlapped(record, ERROR_SUCCESS, 0);
      return Refuse(error, ERROR_IO_PENDING);
    }
    CompleteOverlapped(record, ERROR_SUCCESS, 0);
    return true;
  }

  const bool transfer = code == IOCTL_EP0_TRANSFER || code == IOCTL_BUFFERED_TRANSFER ||
                        code == IOCTL_DIRECT_TRANSFER;
  if (!transfer) {
    if (record != nullptr) {
      // Every other request is synchronous; answer it at once through the record too.
      uint32_t bytes = 0;
      if (!SyncRequest(code, in, inLength, out, outLength, &bytes, error)) return false;
      if (bytesReturned) *bytesReturned = bytes;
      CompleteOverlapped(record, ERROR_SUCCESS, bytes);
      return true;
    }
    return SyncRequest(code, in, inLength, out, outLength, bytesReturned, error);
  }

  Call call;
  call.Code = code;
  call.RequestIndex = requestIndex;
  call.Record = record;
  if (code == IOCTL_DIRECT_TRANSFER) {
    call.Block = const_cast<uint8_t*>(static_cast<const uint8_t*>(in));
    call.BlockLength = inLength;
    call.Data = static_cast<uint8_t*>(out);
    call.DataLength = outLength;
  } else {
    call.Block = static_cast<uint8_t*>(out);
    call.BlockLength = std::min(inLength, outLength);
  }
  if (call.Block == nullptr || call.BlockLength < kHeader) {
    return Refuse(error, ERROR_INVALID_PARAMETER);
  }
  call.Endpoint = code == IOCTL_EP0_TRANSFER ? 0 : call.Block[13];

  if (code == IOCTL_EP0_TRANSFER && record == nullptr && call.Block[1] == 6 &&
      (call.Block[0] & 0x80) != 0) {
    return DescriptorRequest(call.Block, call.BlockLength, bytesReturned, error);
  }

  auto queue = answers_.find(call.Endpoint);
  if (queue != answers_.end() && !queue->second.empty()) {
    call.Reply = queue->second.front();
    queue->second.pop_front();
  } else {
    call.Reply = DefaultAnswer;
  }
  if (call.Reply.How == Answer::Kind::Refuse) return Refuse(error, call.Reply.Error);

  // What the device receives is taken at the call, as a driver would read it.
  const bool deviceToHost =
      code == IOCTL_EP0_TRANSFER ? (call.Block[0] & 0x80) != 0 : (call.Endpoint & 0x80) != 0;
  if (!deviceToHost) {
    const DriverTransferBlock header = ReadDriverTransferBlock(call.Block);
    if (code == IOCTL_DIRECT_TRANSFER && call.Data != nullptr) {
      requests_[requestIndex].OutData.assign(call.Data, call.Data + call.DataLength);
    } else if (code != IOCTL_DIRECT_TRANSFER && header.BufferOffset <= call.BlockLength) {
      const uint32_t length = std::min(header.BufferLength, call.BlockLength - header.BufferOffset);
      requests_[requestIndex].OutData.assign(call.Block + header.BufferOffset,
                                             call.Block + header.BufferOffset + length);
    }
  }

  if (call.Reply.How == Answer::Kind::Pending) {
    if (record == nullptr) return Refuse(error, ERROR_INVALID_PARAMETER);
    BeginOverlapped(record);
    pending_.push_back(call);
    return Refuse(error, ERROR_IO_PENDING);
  }
  const uint32_t bytes = Fill(call);
  if (bytesReturned) *bytesReturned = bytes;
  if (record != nullptr) Finish(call, call.Reply.Error, bytes);
  return true;
}

uint32_t FakePort::Fill(Call& call) {
  const Answer& reply = call.Reply;
  uint8_t* block = call.Block;
  const DriverTransferBlock header = ReadDriverTransferBlock(block);
  PutLe32(block + DTB_NTSTATUS_OFFSET, reply.NtStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, reply.UsbdStatus);
  const bool deviceToHost =
      call.Code == IOCTL_EP0_TRANSFER ? (block[0] & 0x80) != 0 : (call.Endpoint & 0x80) != 0;
  uint32_t bytes = 0;
  if (call.Code == IOCTL_DIRECT_TRANSFER) {
    uint32_t moved = call.DataLength;
    if (deviceToHost) {
      moved = std::min<uint32_t>(static_cast<uint32_t>(reply.Data.size()), call.DataLength);
      if (moved > 0) std::memcpy(call.Data, reply.Data.data(), moved);
    }
    bytes = moved;
  } else {
    const uint32_t offset = std::min(header.BufferOffset, call.BlockLength);
    const uint32_t room = std::min(header.BufferLength, call.BlockLength - offset);
    uint32_t moved = room;
    if (deviceToHost) {
      moved = std::min<uint32_t>(static_cast<uint32_t>(reply.Data.size()), room);
      if (moved > 0) std::memcpy(block + offset, reply.Data.data(), moved);
    }
    bytes = offset + moved;
  }
  if (header.PacketRecordOffset != 0 && header.PacketRecordOffset <= call.BlockLength) {
    const uint32_t room =
        std::min(header.PacketRecordLength, call.BlockLength - header.PacketRecordOffset);
    const size_t count = std::min<size_t>(room / ISO_PACKET_RESULT_SIZE, reply.Packets.size());
    for (size_t i = 0; i < count; ++i) {
      WriteIsoPacketResult(reply.Packets[i],
                           block + header.PacketRecordOffset + i * ISO_PACKET_RESULT_SIZE);
    }
  }
  if (reply.Bytes >= 0) bytes = static_cast<uint32_t>(reply.Bytes);
  return bytes;
}

void FakePort::Finish(Call& call, uint32_t status, uint32_t bytes) {
  if (call.Record != nullptr) CompleteOverlapped(call.Record, status, bytes);
}

bool FakePort::DescriptorRequest(uint8_t* block, uint32_t length, uint32_t* bytes,
                                 uint32_t* error) {
  const DriverTransferBlock header = ReadDriverTransferBlock(block);
  const uint8_t type = static_cast<uint8_t>(header.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(header.wValue);
  const std::vector<uint8_t>* set = nullptr;
  switch (type) {
    case 1:
      if (!DeviceDescriptor.empty()) set = &DeviceDescriptor;
      break;
    case 2: {
      auto it = ConfigSets.find(index);
      if (it != ConfigSets.end()) set = &it->second;
      break;
    }
    case 3: {
      auto it = StringSets.find(index);
      if (it != StringSets.end()) set = &it->second;
      break;
    }
    case 0x0F:
      if (!BosSet.empty()) set = &BosSet;
      break;
    default:
      break;
  }
  PutLe32(block + DTB_NTSTATUS_OFFSET, DescNtStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, DescUsbdStatus);
  if (set == nullptr) return Refuse(error, ERROR_GEN_FAILURE);
  const uint32_t room = std::min<uint32_t>(header.wLength, length - kHeader);
  const uint32_t copied = std::min<uint32_t>(room, static_cast<uint32_t>(set->size()));
  if (copied > 0) std::memcpy(block + kHeader, set->data(), copied);
  if (bytes) *bytes = kHeader + copied;
  return true;
}

bool FakePort::SyncRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                           uint32_t outLength, uint32_t* bytes, uint32_t* error) {
  auto* o = static_cast<uint8_t*>(out);
  uint32_t natural = 0;
  switch (code) {
    case IOCTL_GET_DRIVER_REVISION:
    case IOCTL_GET_USBDI_REVISION:
    case IOCTL_GET_SPEED: {
      if (o == nullptr || outLength < 4) return Refuse(error, ERROR_INSUFFICIENT_BUFFER);
      const uint32_t value = code == IOCTL_GET_SPEED             ? Speed
                             : code == IOCTL_GET_DRIVER_REVISION ? DriverRevision
                                                                 : UsbdiRevision;
      PutLe32(o, value);
      natural = 4;
      break;
    }
    case IOCTL_GET_ALT_SETTING:
    case IOCTL_GET_BUS_ADDRESS:
      if (o == nullptr || outLength < 1) return Refuse(error, ERROR_INSUFFICIENT_BUFFER);
      if (code == IOCTL_GET_ALT_SETTING && AltSetting < 0) {
        return Refuse(error, ERROR_GEN_FAILURE);
      }
      o[0] = code == IOCTL_GET_ALT_SETTING ? static_cast<uint8_t>(AltSetting) : BusAddress;
      natural = 1;
      break;
    case IOCTL_GET_DEVICE_NAME:
    case IOCTL_GET_FRIENDLY_NAME: {
      if (o == nullptr || outLength == 0) return Refuse(error, ERROR_INSUFFICIENT_BUFFER);
      const std::string& name = code == IOCTL_GET_DEVICE_NAME ? DeviceName : FriendlyName;
      const size_t n = std::min<size_t>(name.size(), outLength - 1);
      std::memcpy(o, name.data(), n);
      o[n] = '\0';
      natural = outLength;
      break;
    }
    case IOCTL_RESTART_DEVICE:
    case IOCTL_RESET_ENDPOINT:
      natural = 0;
      break;
    case IOCTL_SET_TRANSFER_SIZE:
      if (in == nullptr || inLength < TRANSFER_SIZE_BLOCK_SIZE) {
        return Refuse(error, ERROR_INVALID_PARAMETER);
      }
      natural = std::min<uint32_t>(outLength, TRANSFER_SIZE_BLOCK_SIZE);
      break;
    default:
      return Refuse(error, ERROR_INVALID_PARAMETER);
  }
  if (ShortCodes.count(code) != 0 && natural > 0) --natural;
  if (bytes) *bytes = natural;
  return true;
}
