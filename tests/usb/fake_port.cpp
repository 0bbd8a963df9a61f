#include "usb/fake_port.h"

#include <algorithm>
#include <cstring>

#include "platform/win_error.h"

namespace {
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;
constexpr uint32_t kHeader = DRIVER_TRANSFER_BLOCK_SIZE;
using Guard = std::lock_guard<std::mutex>;

class FakeInterfaceSet : public DeviceInterfaceSet {
 public:
  FakeInterfaceSet(std::vector<std::string> paths, std::map<uint32_t, uint32_t> errors)
      : paths_(std::move(paths)), errors_(std::move(errors)) {}
  uint32_t GetInterfacePath(uint32_t index, std::string* path) override {
    if (index >= paths_.size()) return ERROR_NO_MORE_ITEMS;
    if (errors_.count(index) != 0) return errors_[index];
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

void FakePort::QueueAnswer(uint8_t endpointAddress, Answer answer) {
  Guard guard(lock_);
  answers_[endpointAddress].push_back(std::move(answer));
}

std::vector<FakePort::Request> FakePort::Requests() const {
  Guard guard(lock_);
  return requests_;
}

std::vector<FakePort::Request> FakePort::RequestsWithCode(uint32_t code) const {
  std::vector<Request> result = Requests();
  std::erase_if(result, [code](const Request& r) { return r.Code != code; });
  return result;
}

void FakePort::ClearRequests() {
  Guard guard(lock_);
  requests_.clear();
}

size_t FakePort::PendingCount() const {
  Guard guard(lock_);
  return pending_.size();
}

size_t FakePort::OpenHandleCount() const {
  Guard guard(lock_);
  return openHandles_.size();
}

size_t FakePort::RegistrationCount() const {
  Guard guard(lock_);
  return registrations_.size();
}

void FakePort::CompletePending(size_t count) {
  Guard guard(lock_);
  for (; count > 0 && !pending_.empty(); --count) {
    Call call = pending_.front();
    pending_.pop_front();
    CompleteOverlapped(call.Record, call.Reply.Error, Fill(call));
  }
}

std::unique_ptr<DeviceInterfaceSet> FakePort::GetClassDevices(const Guid&, uint32_t* error) {
  Guard guard(lock_);
  if (ClassDevicesError == 0) return std::make_unique<FakeInterfaceSet>(Paths, PathErrors);
  Refuse(error, ClassDevicesError);
  return nullptr;
}

DriverHandle FakePort::Open(const std::string& path, uint32_t* error) {
  Guard guard(lock_);
  if (OpenError != 0 || std::find(Paths.begin(), Paths.end(), path) == Paths.end()) {
    Refuse(error, OpenError != 0 ? OpenError : ERROR_FILE_NOT_FOUND);
    return INVALID_DRIVER_HANDLE;
  }
  openHandles_.insert(nextHandle_);
  return nextHandle_++;
}

bool FakePort::Close(DriverHandle handle, uint32_t* error) {
  Guard guard(lock_);
  if (CloseError != 0) return Refuse(error, CloseError);
  return openHandles_.erase(handle) != 0 || Refuse(error, ERROR_INVALID_HANDLE);
}

NotifyHandle FakePort::Register(DriverHandle handle, DeviceNoticeRecipient* recipient) {
  registrations_[nextRegistration_] = {handle, recipient};
  return nextRegistration_++;
}

NotifyHandle FakePort::RegisterClassNotification(const Guid&, DeviceNoticeRecipient* recipient,
                                                 uint32_t* error) {
  Guard guard(lock_);
  if (ClassNotifyError == 0) return Register(INVALID_DRIVER_HANDLE, recipient);
  Refuse(error, ClassNotifyError);
  return NO_NOTIFY_HANDLE;
}

NotifyHandle FakePort::RegisterHandleNotification(DriverHandle handle,
                                                  DeviceNoticeRecipient* recipient,
                                                  uint32_t* error) {
  Guard guard(lock_);
  if (openHandles_.count(handle) != 0) return Register(handle, recipient);
  Refuse(error, ERROR_INVALID_HANDLE);
  return NO_NOTIFY_HANDLE;
}

bool FakePort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  Guard guard(lock_);
  if (UnregisterError != 0) return Refuse(error, UnregisterError);
  return registrations_.erase(registration) != 0 || Refuse(error, ERROR_INVALID_HANDLE);
}

void FakePort::SendNotice(const DeviceNotice& notice) {
  std::vector<DeviceNoticeRecipient*> recipients;
  {
    Guard guard(lock_);
    const DriverHandle wanted = notice.IsInterface ? INVALID_DRIVER_HANDLE : notice.Handle;
    for (const auto& [id, r] : registrations_) {
      if (r.Handle == wanted && r.Recipient != nullptr) recipients.push_back(r.Recipient);
    }
  }
  for (DeviceNoticeRecipient* recipient : recipients) recipient->OnDeviceNotice(notice);
}

bool FakePort::IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                         uint32_t* error) {
  Guard guard(lock_);
  const auto* input = static_cast<const uint8_t*>(in);
  Request& request = requests_.emplace_back();
  request = {handle, code, {}, inLength, outLength, record != nullptr, {}};
  if (input != nullptr) request.Input.assign(input, input + inLength);
  uint32_t unused = 0;
  uint32_t& bytes = bytesReturned ? *bytesReturned : unused;
  bytes = 0;

  if (openHandles_.count(handle) == 0) return Refuse(error, ERROR_INVALID_HANDLE);
  if (FailCodes.count(code) != 0) return Refuse(error, FailCodes[code]);

  if (code == IOCTL_ABORT_ENDPOINT) {
    if (input == nullptr || inLength < 1) return Refuse(error, ERROR_INVALID_PARAMETER);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->Endpoint != input[0]) {
        ++it;
        continue;
      }
      PutLe32(it->Block + DTB_NTSTATUS_OFFSET, kStatusCancelled);
      PutLe32(it->Block + DTB_USBDSTATUS_OFFSET, kUsbdStatusCanceled);
      CompleteOverlapped(it->Record, ERROR_OPERATION_ABORTED, 0);
      it = pending_.erase(it);
    }
    if (record == nullptr) return true;
    BeginOverlapped(record);
    CompleteOverlapped(record, ERROR_SUCCESS, 0);
    return !AbortAnswersPending || Refuse(error, ERROR_IO_PENDING);
  }

  if (code != IOCTL_EP0_TRANSFER && code != IOCTL_BUFFERED_TRANSFER &&
      code != IOCTL_DIRECT_TRANSFER) {
    // Every other request is synchronous; an overlapped caller gets its record completed.
    if (!SyncRequest(code, input, inLength, static_cast<uint8_t*>(out), outLength, &bytes, error))
      return false;
    if (record != nullptr) {
      BeginOverlapped(record);
      CompleteOverlapped(record, ERROR_SUCCESS, bytes);
    }
    return true;
  }

  Call call;
  call.Code = code;
  call.Record = record;
  if (code == IOCTL_DIRECT_TRANSFER) {
    call.Block = const_cast<uint8_t*>(input);
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
  call.DeviceToHost = ((code == IOCTL_EP0_TRANSFER ? call.Block[0] : call.Endpoint) & 0x80) != 0;
  if (code == IOCTL_EP0_TRANSFER && record == nullptr && call.Block[1] == 6 && call.DeviceToHost) {
    return DescriptorRequest(call.Block, call.BlockLength, &bytes, error);
  }

  std::deque<Answer>& queue = answers_[call.Endpoint];
  call.Reply = queue.empty() ? DefaultAnswer : queue.front();
  if (!queue.empty()) queue.pop_front();
  if (call.Reply.How == Answer::Kind::Refuse) return Refuse(error, call.Reply.Error);

  // What the device receives is taken at the call, as a driver would read it.
  if (!call.DeviceToHost && call.Data != nullptr) {
    request.OutData.assign(call.Data, call.Data + call.DataLength);
  } else if (!call.DeviceToHost && code != IOCTL_DIRECT_TRANSFER) {
    const DriverTransferBlock header = ReadDriverTransferBlock(call.Block);
    const uint32_t offset = std::min(header.BufferOffset, call.BlockLength);
    const uint32_t length = std::min(header.BufferLength, call.BlockLength - offset);
    request.OutData.assign(call.Block + offset, call.Block + offset + length);
  }

  if (call.Reply.How == Answer::Kind::Pending) {
    if (record == nullptr) return Refuse(error, ERROR_INVALID_PARAMETER);
    BeginOverlapped(record);
    pending_.push_back(call);
    return Refuse(error, ERROR_IO_PENDING);
  }
  bytes = Fill(call);
  if (record != nullptr) {
    BeginOverlapped(record);
    CompleteOverlapped(record, call.Reply.Error, bytes);
  }
  return true;
}

uint32_t FakePort::Fill(Call& call) {
  const Answer& reply = call.Reply;
  uint8_t* block = call.Block;
  const DriverTransferBlock header = ReadDriverTransferBlock(block);
  PutLe32(block + DTB_NTSTATUS_OFFSET, reply.NtStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, reply.UsbdStatus);
  // Data goes to the caller's buffer (direct) or inside the block after its offset.
  const bool direct = call.Code == IOCTL_DIRECT_TRANSFER;
  const uint32_t offset = direct ? 0 : std::min(header.BufferOffset, call.BlockLength);
  uint8_t* data = direct ? call.Data : block + offset;
  uint32_t moved =
      direct ? call.DataLength : std::min(header.BufferLength, call.BlockLength - offset);
  if (call.DeviceToHost) {
    moved = std::min<uint32_t>(static_cast<uint32_t>(reply.Data.size()), moved);
    if (moved > 0) std::memcpy(data, reply.Data.data(), moved);
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
  return reply.Bytes >= 0 ? static_cast<uint32_t>(reply.Bytes) : offset + moved;
}

bool FakePort::DescriptorRequest(uint8_t* block, uint32_t length, uint32_t* bytes,
                                 uint32_t* error) {
  const DriverTransferBlock header = ReadDriverTransferBlock(block);
  const uint8_t type = static_cast<uint8_t>(header.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(header.wValue);
  std::vector<uint8_t> set;
  if (type == 1) set = DeviceDescriptor;
  if (type == 2 && ConfigSets.count(index) != 0) set = ConfigSets[index];
  if (type == 3 && StringSets.count(index) != 0) set = StringSets[index];
  if (type == 0x0F) set = BosSet;
  PutLe32(block + DTB_NTSTATUS_OFFSET, 0);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, 0);
  if (set.empty()) return Refuse(error, ERROR_GEN_FAILURE);
  const uint32_t copied =
      std::min<uint32_t>({header.wLength, length - kHeader, uint32_t(set.size())});
  std::memcpy(block + kHeader, set.data(), copied);
  *bytes = kHeader + copied;
  return true;
}

bool FakePort::SyncRequest(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                           uint32_t outLength, uint32_t* bytes, uint32_t* error) {
  std::vector<uint8_t> answer;  // what the driver writes back
  uint32_t natural = 0;         // the byte count it reports
  const auto word = [&answer](uint32_t value) {
    answer.resize(4);
    PutLe32(answer.data(), value);
  };
  const auto name = [&answer, outLength](const std::string& text) {
    // Terminated, cut to the buffer, and the whole buffer reported.
    answer.assign(outLength, 0);
    std::copy_n(text.begin(), std::min<size_t>(text.size(), outLength - 1), answer.begin());
  };
  if (code == IOCTL_GET_SPEED) {
    word(Speed);
  } else if (code == IOCTL_GET_DRIVER_REVISION) {
    word(DriverRevision);
  } else if (code == IOCTL_GET_USBDI_REVISION) {
    word(UsbdiRevision);
  } else if (code == IOCTL_GET_BUS_ADDRESS) {
    answer = {BusAddress};
  } else if (code == IOCTL_GET_ALT_SETTING) {
    if (AltSetting < 0) return Refuse(error, ERROR_GEN_FAILURE);
    answer = {static_cast<uint8_t>(AltSetting)};
  } else if (code == IOCTL_GET_DEVICE_NAME || code == IOCTL_GET_FRIENDLY_NAME) {
    if (outLength == 0) return Refuse(error, ERROR_INSUFFICIENT_BUFFER);
    name(code == IOCTL_GET_DEVICE_NAME ? DeviceName : FriendlyName);
  } else if (code == IOCTL_SET_TRANSFER_SIZE) {
    if (in == nullptr || inLength < TRANSFER_SIZE_BLOCK_SIZE) {
      return Refuse(error, ERROR_INVALID_PARAMETER);
    }
    natural = std::min<uint32_t>(outLength, TRANSFER_SIZE_BLOCK_SIZE);
  } else if (code != IOCTL_RESTART_DEVICE && code != IOCTL_RESET_ENDPOINT) {
    return Refuse(error, ERROR_INVALID_PARAMETER);
  }
  if (!answer.empty()) {
    if (out == nullptr || outLength < answer.size())
      return Refuse(error, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, answer.data(), answer.size());
    natural = static_cast<uint32_t>(answer.size());
  }
  if (ShortCodes.count(code) != 0 && natural > 0) --natural;
  *bytes = natural;
  return true;
}
