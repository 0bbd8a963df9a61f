#include "hostile_port.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"
#include "platform/overlapped.h"
#include "platform/win_error.h"
#include "protocol/driver_requests.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "usb/usb_device.h"

namespace {

constexpr DriverHandle kReplayHandle = 0x4C0;
constexpr size_t kMaxPath = 300;
constexpr size_t kMaxInterfaces = 8;
// The data of a direct transfer lands in the caller's buffer, which the program does
// not parse: a few bytes of it are enough, and keep recordings small.
constexpr size_t kDirectDataKept = 16;

}  // namespace

uint8_t DeviceScript::Byte(uint8_t value) {
  if (recording_) {
    recorded_.push_back(value);
    return value;
  }
  return at_ < size_ ? input_[at_++] : 0;
}

uint32_t DeviceScript::Word(uint32_t value) {
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i)
    word |= uint32_t(Byte(static_cast<uint8_t>(value >> (8 * i)))) << (8 * i);
  return word;
}

std::vector<uint8_t> DeviceScript::Blob(const uint8_t* value, size_t size, size_t limit) {
  limit = std::min<size_t>(limit, 0xFFFF);
  if (recording_) {
    const size_t n = std::min(size, limit);
    Byte(static_cast<uint8_t>(n));
    Byte(static_cast<uint8_t>(n >> 8));
    recorded_.insert(recorded_.end(), value, value + n);
    return std::vector<uint8_t>(value, value + n);
  }
  size_t n = Byte(0);
  n |= size_t(Byte(0)) << 8;
  n = std::min({n, limit, size_ - at_});
  std::vector<uint8_t> blob(input_ + at_, input_ + at_ + n);
  at_ += n;
  return blob;
}

// Interface paths as the script gives them, one answer per index asked.
class HostilePort::InterfaceSet : public DeviceInterfaceSet {
 public:
  InterfaceSet(DeviceScript& script, std::unique_ptr<DeviceInterfaceSet> inner)
      : script_(script), inner_(std::move(inner)) {}
  uint32_t GetInterfacePath(uint32_t index, std::string* path) override {
    std::string real;
    uint32_t result = inner_ ? inner_->GetInterfacePath(index, &real) : 0;
    // Past a few interfaces the answer is the end of the list, whatever the script says.
    result = index < kMaxInterfaces ? script_.Word(result) : ERROR_NO_MORE_ITEMS;
    if (result == ERROR_SUCCESS) {
      const auto bytes =
          script_.Blob(reinterpret_cast<const uint8_t*>(real.data()), real.size(), kMaxPath);
      if (path) path->assign(bytes.begin(), bytes.end());
    }
    return result;
  }

 private:
  DeviceScript& script_;
  std::unique_ptr<DeviceInterfaceSet> inner_;
};

HostilePort::HostilePort(DeviceScript& script, DriverPort* inner)
    : script_(script), inner_(inner) {}

HostilePort::~HostilePort() {
  ReleaseHeld(true, 0);
}

void HostilePort::ReleaseHeld(bool allEndpoints, uint8_t endpoint) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (allEndpoints || it->Endpoint == endpoint) {
      CompleteOverlapped(it->Record, ERROR_OPERATION_ABORTED, 0);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

std::unique_ptr<DeviceInterfaceSet> HostilePort::GetClassDevices(const Guid& interfaceClass,
                                                                 uint32_t* error) {
  uint32_t innerError = 0;
  std::unique_ptr<DeviceInterfaceSet> inner =
      inner_ ? inner_->GetClassDevices(interfaceClass, &innerError) : nullptr;
  if (script_.Byte(inner_ == nullptr || inner != nullptr) == 0) {
    if (error) *error = script_.Word(innerError);
    return nullptr;
  }
  if (error) *error = ERROR_SUCCESS;
  return std::make_unique<InterfaceSet>(script_, std::move(inner));
}

DriverHandle HostilePort::Open(const std::string& path, uint32_t* error) {
  uint32_t innerError = 0;
  const DriverHandle inner = inner_ ? inner_->Open(path, &innerError) : kReplayHandle;
  if (script_.Byte(inner != INVALID_DRIVER_HANDLE) == 0) {
    if (error) *error = script_.Word(innerError);
    return INVALID_DRIVER_HANDLE;
  }
  if (error) *error = ERROR_SUCCESS;
  return inner_ ? inner : kReplayHandle;
}

bool HostilePort::Close(DriverHandle handle, uint32_t* error) {
  uint32_t innerError = 0;
  const bool closed = inner_ ? inner_->Close(handle, &innerError) : true;
  if (script_.Byte(closed) == 0) {
    if (error) *error = script_.Word(innerError);
    return false;
  }
  ReleaseHeld(true, 0);
  if (error) *error = ERROR_SUCCESS;
  return true;
}

bool HostilePort::IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                            void* out, uint32_t outLength, uint32_t* bytesReturned,
                            Overlapped* record, uint32_t* error) {
  uint32_t ignoredBytes, ignoredError;
  if (!bytesReturned) bytesReturned = &ignoredBytes;
  if (!error) error = &ignoredError;
  const bool direct = code == IOCTL_DIRECT_TRANSFER;
  // A direct transfer's statuses and packet records go back into its input block.
  uint8_t* inBlock = direct ? static_cast<uint8_t*>(const_cast<void*>(in)) : nullptr;
  const uint32_t inBlockLength = inBlock ? inLength : 0;
  if (code == IOCTL_ABORT_ENDPOINT && in != nullptr && inLength >= 1) {
    ReleaseHeld(false, *static_cast<const uint8_t*>(in));
  }
  // The endpoint the program sent the request to, before the answer overwrites it: an
  // abort of that endpoint releases the request if it is held.
  const uint8_t* sentBlock = direct ? inBlock : static_cast<const uint8_t*>(out);
  const uint32_t sentLength = direct ? inBlockLength : (out ? outLength : 0);
  const uint8_t endpoint = sentBlock && sentLength > DTB_ENDPOINT_ADDRESS_OFFSET
                               ? sentBlock[DTB_ENDPOINT_ADDRESS_OFFSET]
                               : 0;

  // What the real port below says, when recording.
  How how = kAtOnce;
  uint32_t status = ERROR_SUCCESS, bytes = 0;
  if (inner_) {
    Event event(false, false);
    Overlapped own;
    own.hEvent = &event;
    uint32_t innerError = 0;
    const bool done = inner_->IoControl(handle, code, in, inLength, out, outLength, &bytes,
                                        record ? &own : nullptr, &innerError);
    if (done) {
      how = kAtOnce;
    } else if (record && innerError == ERROR_IO_PENDING) {
      how = kCompletedLater;
      if (WaitForSingleObject(&event, 10000) != WAIT_OBJECT_0) {
        uint8_t address = endpoint;
        inner_->IoControl(handle, IOCTL_ABORT_ENDPOINT, &address, 1, nullptr, 0, nullptr, nullptr,
                          nullptr);
        WaitForSingleObject(&event, INFINITE);
      }
      GetOverlappedResult(&own, &bytes, false, &status);
    } else {
      how = kRefused;
      status = innerError;
    }
  }

  how = static_cast<How>(script_.Byte(how) & 3);
  status = script_.Word(status);
  bytes = script_.Word(bytes);
  const auto outData =
      script_.Blob(static_cast<const uint8_t*>(out), out ? outLength : 0,
                   direct ? std::min<size_t>(outLength, kDirectDataKept) : (out ? outLength : 0));
  const auto inData = script_.Blob(inBlock, inBlockLength, inBlockLength);
  if (!inner_) {
    if (!outData.empty()) std::memcpy(out, outData.data(), outData.size());
    if (!inData.empty()) std::memcpy(inBlock, inData.data(), inData.size());
  }
  if (direct) {
    lastBlock_.assign(inBlock, inBlock + inBlockLength);
  } else if (code == IOCTL_BUFFERED_TRANSFER || code == IOCTL_EP0_TRANSFER) {
    const uint8_t* block = static_cast<const uint8_t*>(out);
    lastBlock_.assign(block, block + (out ? outLength : 0));
  }

  // Neither a refusal nor a completion says "pending" or "incomplete": both carry a
  // final status, as on every platform.
  if (status == ERROR_IO_PENDING || status == ERROR_IO_INCOMPLETE) status = ERROR_GEN_FAILURE;
  // Held back are only data transfers: not the abort itself, and not an endpoint-0
  // request, which the driver ends by the time-out in its block.
  if (how == kHeldUntilAbort &&
      (record == nullptr || (code != IOCTL_DIRECT_TRANSFER && code != IOCTL_BUFFERED_TRANSFER))) {
    how = kCompletedLater;
  }
  if (record == nullptr) {
    if (how == kRefused || how == kHeldUntilAbort) {
      *error = status;
      return false;
    }
    *bytesReturned = bytes;
    *error = ERROR_SUCCESS;
    return true;
  }
  switch (how) {
    case kAtOnce:
      BeginOverlapped(record);
      CompleteOverlapped(record, ERROR_SUCCESS, bytes);
      *bytesReturned = bytes;
      *error = ERROR_SUCCESS;
      return true;
    case kCompletedLater:
      BeginOverlapped(record);
      CompleteOverlapped(record, status, bytes);
      *error = ERROR_IO_PENDING;
      return false;
    case kHeldUntilAbort:
      BeginOverlapped(record);
      held_.push_back({record, endpoint});
      *error = ERROR_IO_PENDING;
      return false;
    case kRefused:
    default:
      *error = status;
      return false;
  }
}

bool HostilePort::Registered(NotifyHandle handle, uint32_t innerError, uint32_t* error) {
  if (script_.Byte(inner_ == nullptr || handle != NO_NOTIFY_HANDLE) == 0) {
    if (error) *error = script_.Word(innerError);
    return false;
  }
  if (error) *error = ERROR_SUCCESS;
  return true;
}

NotifyHandle HostilePort::RegisterClassNotification(const Guid& interfaceClass,
                                                    DeviceNoticeRecipient* recipient,
                                                    uint32_t* error) {
  uint32_t innerError = 0;
  const NotifyHandle inner =
      inner_ ? inner_->RegisterClassNotification(interfaceClass, recipient, &innerError)
             : nextRegistration_++;
  return Registered(inner, innerError, error) ? inner : NO_NOTIFY_HANDLE;
}

NotifyHandle HostilePort::RegisterHandleNotification(DriverHandle handle,
                                                     DeviceNoticeRecipient* recipient,
                                                     uint32_t* error) {
  uint32_t innerError = 0;
  const NotifyHandle inner =
      inner_ ? inner_->RegisterHandleNotification(handle, recipient, &innerError)
             : nextRegistration_++;
  return Registered(inner, innerError, error) ? inner : NO_NOTIFY_HANDLE;
}

bool HostilePort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  uint32_t innerError = 0;
  const bool done = inner_ ? inner_->UnregisterNotification(registration, &innerError) : true;
  if (script_.Byte(done) == 0) {
    if (error) *error = script_.Word(innerError);
    return false;
  }
  if (error) *error = ERROR_SUCCESS;
  return true;
}

namespace {

class QuietRecipient : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice&) override {}
};

template <size_t N, typename Char>
bool Terminated(const Char (&text)[N]) {
  return std::find(text, text + N, Char(0)) != text + N;
}

bool Vendor(UsbDevice& device, uint16_t command, bool in, void* data, int32_t& length) {
  UsbControlEndpoint* control = device.ControlEndpoint;
  control->Recipient = 0;
  control->RequestType = 2;
  control->RequestCode = 0;
  control->RequestValue = command;
  control->RequestIndex = 0;
  return in ? control->ControlRead(static_cast<uint8_t*>(data), length)
            : control->ControlWrite(static_cast<uint8_t*>(data), length);
}

void CheckDevice(UsbDevice& device, HostileSession& s) {
  auto broken = [&s](const char* what) { s.Broken.emplace_back(what); };
  if (!Terminated(device.DriverDeviceName) || !Terminated(device.DriverFriendlyName) ||
      !Terminated(device.DevicePath)) {
    broken("driver name or path without its terminator");
  }
  if (!Terminated(device.ManufacturerText) || !Terminated(device.ProductText) ||
      !Terminated(device.SerialNumberText)) {
    broken("device string without its terminator");
  }
  if (device.EndpointTable == nullptr) return;
  const uint8_t count = device.CountEndpoints();
  if (count == 0 || device.EndpointTable[0] != device.ControlEndpoint) {
    broken("published table without its control endpoint");
    return;
  }
  auto inTable = [&](const UsbEndpoint* endpoint) {
    for (uint8_t i = 1; i < count; ++i) {
      if (device.EndpointTable[i] == endpoint) return true;
    }
    return false;
  };
  for (uint8_t i = 1; i < count; ++i) {
    if (device.EndpointTable[i] == nullptr) broken("a hole in the published endpoints");
  }
  const struct {
    const UsbEndpoint* Endpoint;
    uint8_t Type;
    bool In;
  } shortcuts[] = {{device.IsocInEndpoint, 1, true},      {device.IsocOutEndpoint, 1, false},
                   {device.BulkInEndpoint, 2, true},      {device.BulkOutEndpoint, 2, false},
                   {device.InterruptInEndpoint, 3, true}, {device.InterruptOutEndpoint, 3, false}};
  for (const auto& shortcut : shortcuts) {
    if (shortcut.Endpoint == nullptr) continue;
    if (!inTable(shortcut.Endpoint) || shortcut.Endpoint->bmAttributes != shortcut.Type ||
        ((shortcut.Endpoint->bEndpointAddress & 0x80) != 0) != shortcut.In) {
      broken("an endpoint shortcut that is not one of the setting's endpoints of its kind");
    }
  }
}

constexpr IsoPacketResult kUntouched{0xA5A5A5A5, 0x5A5A5A5A};

// After a completion: the caller's packet results are the records the port left in the
// block when data moved, untouched otherwise, and never written past their count.
void CheckPackets(const std::vector<IsoPacketResult>& packets, size_t count, int32_t moved,
                  const HostilePort& port, HostileSession& s) {
  if (packets.empty()) return;
  if (packets[count].Status != kUntouched.Status || packets[count].Length != kUntouched.Length) {
    s.Broken.emplace_back("packet results written past the transfer's packets");
  }
  if (moved < 1 || count == 0) {
    for (size_t i = 0; i < count; ++i) {
      if (packets[i].Status != kUntouched.Status || packets[i].Length != kUntouched.Length) {
        s.Broken.emplace_back("packet results written although no data moved");
        return;
      }
    }
    return;
  }
  ++s.PacketReadBacks;
  const std::vector<uint8_t>& block = port.LastTransferBlock();
  if (block.size() < DRIVER_TRANSFER_BLOCK_SIZE + count * ISO_PACKET_RESULT_SIZE) {
    s.Broken.emplace_back("packet results read back from a block that has none");
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    const IsoPacketResult expected =
        ReadIsoPacketResult(block.data() + DRIVER_TRANSFER_BLOCK_SIZE + i * ISO_PACKET_RESULT_SIZE);
    if (packets[i].Status != expected.Status || packets[i].Length != expected.Length) {
      s.Broken.emplace_back("packet results differ from the driver's records");
      return;
    }
  }
}

// One endpoint's share of the session: its transfer form and length, from the script.
struct EndpointRun {
  UsbEndpoint* Endpoint = nullptr;
  std::vector<uint8_t> Buffer;
  size_t Packets = 0;                    // isochronous: packets of one transfer
  std::vector<IsoPacketResult> Results;  // Packets + 1, the last one a guard
  Event Done{false, false};
  Overlapped Record;
  UsbEndpoint::RequestContext* Context = nullptr;
};

void Prepare(DeviceScript& script, EndpointRun& run) {
  UsbEndpoint& endpoint = *run.Endpoint;
  // The script's time-outs are immediate: a device that never answers costs a
  // millisecond, not the endpoint's ten seconds.
  endpoint.TimeoutMs = 1;
  endpoint.TransferMode = script.Byte(1) & 1;
  const bool iso = (endpoint.bmAttributes & 3) == 1;
  const uint32_t unit = std::max<uint32_t>(endpoint.MaxPacketSize, 1);
  const uint32_t proposed = iso ? 3 * unit : 512;
  const uint32_t length = script.Word(proposed) % (std::max<uint32_t>(4 * unit, 4096) + 1);
  run.Buffer.assign(length, 0);
  if (iso) {
    run.Packets = endpoint.MaxPacketSize != 0
                      ? (length + endpoint.MaxPacketSize - 1) / endpoint.MaxPacketSize
                      : 0;
    run.Results.assign(run.Packets + 1, kUntouched);
  }
  run.Record.hEvent = &run.Done;
}

IsoPacketResult* ResultsOf(EndpointRun& run) {
  std::fill(run.Results.begin(), run.Results.end(), kUntouched);
  return run.Results.empty() ? nullptr : run.Results.data();
}

}  // namespace

HostileSession RunHostileSession(DeviceScript& script, const HostilePort& port) {
  HostileSession s;
  QuietRecipient recipient;
  UsbDevice device(&recipient, PLUG_INTERFACE_CLASS, false);
  s.Opened = device.Open(script.Byte(0));
  CheckDevice(device, s);
  s.bcdUSB = device.bcdUSB;
  s.Ep0PacketSize = device.Ep0PacketSize;
  s.Serial = device.SerialNumberText;
  s.FriendlyName = device.DriverFriendlyName;
  s.Endpoints = device.CountEndpoints();
  if (device.ControlEndpoint != nullptr) {
    device.ControlEndpoint->TimeoutMs = 1;
    char info[PLUG_INFO_LENGTH + 1] = {};
    int32_t length = PLUG_INFO_LENGTH;
    if (Vendor(device, PLUG_CMD_INFO, true, info, length)) {
      s.Info.assign(info, strnlen(info, PLUG_INFO_LENGTH));
      const auto number = ParseFirmwareNumber(s.Info);
      s.FirmwareNumber = number ? *number : -1;
    }
    s.Lengths.push_back(length);
    length = 0;
    Vendor(device, PLUG_CMD_BENCH_START, false, nullptr, length);
  }

  // In table order, which puts a loopback's write before its read: every endpoint's
  // synchronous transfer, then a queued one each, then their resets and aborts.
  const uint8_t count = device.CountEndpoints();
  std::vector<EndpointRun> runs(count > 0 ? count - 1 : 0);
  for (uint8_t i = 1; i < count; ++i) {
    runs[i - 1].Endpoint = device.EndpointTable[i];
    if (runs[i - 1].Endpoint != nullptr) Prepare(script, runs[i - 1]);
  }
  for (EndpointRun& run : runs) {
    if (run.Endpoint == nullptr) continue;
    int32_t moved = static_cast<int32_t>(run.Buffer.size());
    run.Endpoint->TransferSync(run.Buffer.data(), moved, ResultsOf(run));
    s.Lengths.push_back(moved);
    CheckPackets(run.Results, run.Packets, moved, port, s);
  }
  for (EndpointRun& run : runs) {
    if (run.Endpoint == nullptr) continue;
    run.Context = run.Endpoint->SubmitTransfer(
        run.Buffer.data(), static_cast<int32_t>(run.Buffer.size()), &run.Record);
    run.Endpoint->AwaitTransfer(&run.Record, 1);
    int32_t moved = static_cast<int32_t>(run.Buffer.size());
    run.Endpoint->CompleteTransfer(run.Buffer.data(), moved, &run.Record, run.Context,
                                   ResultsOf(run));
    s.Lengths.push_back(moved);
    CheckPackets(run.Results, run.Packets, moved, port, s);
  }
  for (EndpointRun& run : runs) {
    if (run.Endpoint == nullptr) continue;
    run.Endpoint->ResetEndpoint();
    run.Endpoint->AbortTransfers();
    run.Endpoint->SetDriverTransferSize(static_cast<uint32_t>(run.Buffer.size()));
  }

  s.Closed = device.CloseDevice();
  if (s.Closed && (device.EndpointTable != nullptr || device.ControlEndpoint != nullptr ||
                   device.CountEndpoints() != 0)) {
    s.Broken.emplace_back("a closed device still publishes endpoints");
  }
  return s;
}
