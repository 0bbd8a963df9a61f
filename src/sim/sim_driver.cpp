#include "sim/sim_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/event.h"
#include "platform/win_error.h"
#include "protocol/device_path.h"
#include "protocol/driver_requests.h"
#include "protocol/plug_ids.h"
#include "sim/standard_requests.h"

namespace {

constexpr uint64_t kLeaveDelayNs = 5'000'000;  // the plug drops off 5 ms after its reply
constexpr uint32_t kDriverRevision = 0x00010300;
constexpr uint32_t kUsbdiRevision = 0x00000600;
static_assert(SIM_MAX_PLUGS <= 256, "the handle table keeps the plug in 8 bits");

}  // namespace

class SimDriverPort::InterfaceSet : public DeviceInterfaceSet {
 public:
  explicit InterfaceSet(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  uint32_t GetInterfacePath(uint32_t index, std::string* path) override {
    if (index >= paths_.size()) return ERROR_NO_MORE_ITEMS;
    if (path) *path = paths_[index];
    return ERROR_SUCCESS;
  }

 private:
  std::vector<std::string> paths_;
};

SimDriverPort::SimDriverPort(const SimOptions& options) : options_(options) {
  unlimited_ = options_.Unlimited;
  anyFaults_ = AnyTransferFaults(options_);
  const uint64_t now = NowNs();
  for (uint32_t i = 0; i < options_.Plugs; ++i) {
    auto plug = std::make_unique<SimPlug>();
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04u", i + 1);
    plug->Serial = options_.SerialPrefix + digits;
    plug->Path = PlugDevicePath(plug->Serial);
    PlugIdentity identity;
    identity.Serial = plug->Serial;
    identity.PortSpeed = options_.Speed;
    identity.HasFirmware = options_.HasFirmware;
    identity.Firmware = options_.Firmware;
    identity.Seed = options_.Seed + i;
    identity.PhyErrors = options_.PhyErrors;
    identity.LinkErrors = options_.LinkErrors;
    identity.PhyFlags = options_.PhyFlags;
    identity.LinkFlags = options_.LinkFlags;
    plug->Model = std::make_unique<PlugModel>(identity);
    plug->Descriptors = ServeDescriptors(*plug->Model, options_);
    plug->Random.seed(options_.Seed * 7919u + i);
    plug->BusAddress = static_cast<uint8_t>(i + 1);
    if (options_.RemoveAfterMs)
      plug->RemoveAtNs = now + uint64_t(options_.RemoveAfterMs) * 1'000'000;
    plugs_.push_back(std::move(plug));
  }
  bus_.Start([this](uint64_t now) { return BusStep(now); });
}

SimDriverPort::~SimDriverPort() {
  bus_.Stop();
  // Nobody must be left waiting on a request of a driver that is going away.
  for (auto& plug : plugs_) {
    std::lock_guard lock(plug->Lock);
    FailTransfers(*plug, kTransferCancelled, 0, true);
  }
}

uint32_t SimDriverPort::PlugCount() const {
  return static_cast<uint32_t>(plugs_.size());
}

std::string SimDriverPort::PlugPath(uint32_t plug) const {
  return plug < plugs_.size() ? plugs_[plug]->Path : std::string();
}

bool SimDriverPort::PlugPresent(uint32_t plug) const {
  if (plug >= plugs_.size()) return false;
  std::lock_guard lock(plugs_[plug]->Lock);
  return plugs_[plug]->Present;
}

uint32_t SimDriverPort::PendingRequests(uint32_t plug) const {
  if (plug >= plugs_.size()) return 0;
  std::lock_guard lock(plugs_[plug]->Lock);
  uint32_t count = 0;
  for (const EndpointQueue& queue : plugs_[plug]->Queues) {
    count += static_cast<uint32_t>(queue.Items.size());
  }
  return count;
}

uint64_t SimDriverPort::MovedBytes(uint32_t plug) const {
  if (plug >= plugs_.size()) return 0;
  std::lock_guard lock(plugs_[plug]->Lock);
  return plugs_[plug]->MovedBytes;
}

void SimDriverPort::UnplugNow(uint32_t plug, uint32_t comeBackMs) {
  if (plug >= plugs_.size()) return;
  {
    std::lock_guard lock(plugs_[plug]->Lock);
    SimPlug& p = *plugs_[plug];
    if (!p.Present) return;
    p.LeaveAtNs = NowNs();
    if (comeBackMs == 0) {
      p.RemoveAtNs = p.LeaveAtNs;
    } else {
      p.ReturnAtNs = p.LeaveAtNs + uint64_t(comeBackMs) * 1'000'000;
    }
  }
  bus_.Wake();
}

std::unique_ptr<DeviceInterfaceSet> SimDriverPort::GetClassDevices(const Guid& interfaceClass,
                                                                   uint32_t* error) {
  std::vector<std::string> paths;
  if (interfaceClass == PLUG_INTERFACE_CLASS) {
    for (auto& plug : plugs_) {
      std::lock_guard lock(plug->Lock);
      if (plug->Present) paths.push_back(plug->Path);
    }
  }
  if (error) *error = ERROR_SUCCESS;
  return std::make_unique<InterfaceSet>(std::move(paths));
}

DriverHandle SimDriverPort::Open(const std::string& path, uint32_t* error) {
  for (uint32_t i = 0; i < plugs_.size(); ++i) {
    SimPlug& plug = *plugs_[i];
    if (!SameDevicePath(path, plug.Path)) continue;
    uint32_t generation;
    {
      std::lock_guard lock(plug.Lock);
      if (!plug.Present) {
        if (error) *error = ERROR_NO_SUCH_DEVICE;
        return INVALID_DRIVER_HANDLE;
      }
      generation = plug.Generation;
    }
    return handles_.Open(i, generation, error);
  }
  if (error) *error = ERROR_FILE_NOT_FOUND;
  return INVALID_DRIVER_HANDLE;
}

bool SimDriverPort::Close(DriverHandle handle, uint32_t* error) {
  uint32_t plugIndex, generation;
  if (!handles_.Lookup(handle, &plugIndex, &generation)) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  // Closed and cancelled under the plug's lock: a transfer on this handle is either
  // queued before and cancelled here, or refused after (Transfer looks again).
  SimPlug& plug = *plugs_[plugIndex];
  std::lock_guard lock(plug.Lock);
  if (!handles_.Close(handle, &plugIndex)) {
    if (error) *error = ERROR_INVALID_HANDLE;  // another thread closed it first
    return false;
  }
  FailTransfers(plug, kTransferCancelled, 0, true, handle);
  if (error) *error = ERROR_SUCCESS;
  return true;
}

bool SimDriverPort::IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                              void* out, uint32_t outLength, uint32_t* bytesReturned,
                              Overlapped* record, uint32_t* error) {
  uint32_t ignoredBytes, ignoredError;
  if (!bytesReturned) bytesReturned = &ignoredBytes;
  if (!error) error = &ignoredError;
  *bytesReturned = 0;
  uint32_t plugIndex, generation;
  if (!handles_.Lookup(handle, &plugIndex, &generation)) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  SimPlug& plug = *plugs_[plugIndex];
  if (IsTransferRequest(code)) {
    return Transfer(plugIndex, plug, generation, handle, code, in, inLength, out, outLength,
                    bytesReturned, record, error);
  }
  std::unique_lock lock(plug.Lock);
  if (!plug.Present || plug.Generation != generation) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  return DeviceRequest(plug, code, in, inLength, out, outLength, bytesReturned, record, error);
}

bool SimDriverPort::DeviceRequest(SimPlug& plug, uint32_t code, const void* in, uint32_t inLength,
                                  void* out, uint32_t outLength, uint32_t* bytesReturned,
                                  Overlapped* record, uint32_t* error) {
  auto answer = [&](const void* value, uint32_t size) {
    return AnswerDriverQuery(value, size, out, outLength, bytesReturned, record, error);
  };
  auto refuse = [&](uint32_t why) {
    *error = why;
    return false;
  };
  uint8_t word[4];
  switch (code) {
    case IOCTL_GET_DRIVER_REVISION:
      PutLe32(word, kDriverRevision);
      return answer(word, 4);
    case IOCTL_GET_USBDI_REVISION:
      PutLe32(word, kUsbdiRevision);
      return answer(word, 4);
    case IOCTL_GET_ALT_SETTING: {
      const uint8_t setting = 0;
      return answer(&setting, 1);
    }
    case IOCTL_GET_BUS_ADDRESS:
      return answer(&plug.BusAddress, 1);
    case IOCTL_GET_SPEED:
      PutLe32(word, DriverSpeedFor(plug.Model->Speed()));
      return answer(word, 4);
    case IOCTL_GET_DEVICE_NAME:
    case IOCTL_GET_FRIENDLY_NAME: {
      char name[256] = {};
      std::snprintf(name, sizeof name,
                    code == IOCTL_GET_DEVICE_NAME ? "\\Device\\SimUsb-%s"
                                                  : "USB3 Loopback Plug %s (simulated)",
                    plug.Serial.c_str());
      return answer(name, std::min<uint32_t>(outLength, sizeof name));
    }
    case IOCTL_RESTART_DEVICE:
      FailTransfers(plug, kTransferCancelled, 0, true);
      plug.Halts.ClearAll();
      return answer(nullptr, 0);
    case IOCTL_RESET_ENDPOINT:
    case IOCTL_ABORT_ENDPOINT: {
      uint8_t address;
      if (DecodeEndpointRequest(in, inLength, &address) != ERROR_SUCCESS) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      if (address != 0 && plug.Model->FindEndpoint(address) == nullptr) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      if (code == IOCTL_ABORT_ENDPOINT) {
        FailTransfers(plug, kTransferCancelled, address, false);
      } else {
        plug.Halts.Set(address, false);
        plug.Model->ResetEndpoint(address);
      }
      return answer(nullptr, 0);
    }
    case IOCTL_SET_TRANSFER_SIZE: {
      uint8_t address;
      uint32_t size;
      if (DecodeTransferSizeRequest(in, inLength, &address, &size) != ERROR_SUCCESS ||
          plug.Model->FindEndpoint(address) == nullptr) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      // The plug moves whatever each request asks for; the size is only a hint here.
      uint8_t block[TRANSFER_SIZE_BLOCK_SIZE];
      WriteTransferSizeBlock(address, size, block);
      return answer(block, out ? TRANSFER_SIZE_BLOCK_SIZE : 0);
    }
    default:
      return refuse(ERROR_INVALID_PARAMETER);
  }
}

bool SimDriverPort::Ep0Transfer(SimPlug& plug, const TransferRequest& request,
                                uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  const SetupPacket& setup = request.Setup;
  bool answered;
  uint32_t length = 0;
  if (RequestTypeOf(setup.bmRequestType) == USB_TYPE_STANDARD) {
    answered = HandleStandardRequest(plug, setup, request.Data, &length);
  } else {
    const ControlReply reply = plug.Model->HandleSetup(setup, request.Data);
    answered = !reply.Stalled;
    length = reply.Length;
  }
  if (!answered) length = 0;
  const TransferOutcome& outcome = answered ? kTransferDone : kTransferStalled;
  WriteTransferStatus(request.Block, outcome.NtStatus, outcome.UsbdStatus);
  *bytesReturned = request.HeaderBytes + length;
  if (plug.Model->ReenumerationRequested() && plug.LeaveAtNs == 0) {
    plug.LeaveAtNs = NowNs() + kLeaveDelayNs;
    if (options_.NoReturn) {
      plug.RemoveAtNs = plug.LeaveAtNs;
    } else {
      plug.ReturnAtNs = plug.LeaveAtNs + uint64_t(options_.ReenumMs) * 1'000'000;
    }
    bus_.Wake();
  }
  // A control request may let data move (the benchmark start), so serve the queues.
  if (plug.Busy) PumpQueues(plug, options_, NowNs());
  if (record) {
    BeginOverlapped(record);
    CompleteOverlapped(record, outcome.Error, *bytesReturned);
  }
  *error = outcome.Error;
  if (outcome.Error == ERROR_SUCCESS) return true;
  if (record) *error = ERROR_IO_PENDING;  // the record already carries the failure
  return false;
}

bool SimDriverPort::Transfer(uint32_t plugIndex, SimPlug& plug, uint32_t generation,
                             DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                             void* out, uint32_t outLength, uint32_t* bytesReturned,
                             Overlapped* record, uint32_t* error) {
  PendingTransfer p;
  if (const uint32_t refused = DecodeTransferRequest(code, in, inLength, out, outLength, &p);
      refused != ERROR_SUCCESS) {
    *error = refused;
    return false;
  }
  std::unique_lock lock(plug.Lock);
  if (!plug.Present || plug.Generation != generation) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  uint32_t stillPlug, stillGeneration;
  if (!handles_.Lookup(handle, &stillPlug, &stillGeneration)) {
    *error = ERROR_INVALID_HANDLE;  // closed since it was looked up: nothing may queue on it
    return false;
  }
  if (p.Form == TransferForm::Endpoint0) return Ep0Transfer(plug, p, bytesReturned, record, error);
  p.Handle = handle;
  const PlugEndpoint* endpoint = plug.Model->FindEndpoint(p.EndpointAddress);
  if (endpoint == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (endpoint->IsIsochronous()) {
    if (p.Packets == 0) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    std::memset(p.Records, 0, size_t(p.Packets) * ISO_PACKET_RESULT_SIZE);
  } else {
    p.Records = nullptr;  // only isochronous transfers report per packet
    p.Packets = 0;
  }

  // Faults count the data transfers of each direction; the display endpoint is left
  // alone so that the monitor's reads do not shift the count.
  if (anyFaults_ && endpoint->Role != EndpointRole::Display) {
    const bool isIn = endpoint->IsIn();
    p.Injected = ChooseFault(options_, isIn, isIn ? ++plug.InTransfers : ++plug.OutTransfers);
    if (p.Injected == Fault::Short) {
      const uint32_t full = p.Length;
      p.Length = ShortReadLength(full, endpoint->PacketBytes());
      p.Cut = full - p.Length;
    }
  }

  if (record) BeginOverlapped(record);
  p.Record = record;
  const uint32_t queueBit = 1u << EndpointSlot(p.EndpointAddress);
  TransferOutcome outcome;
  if (unlimited_ && (plug.Busy & queueBit) == 0 && ProgressTransfer(plug, p, options_, &outcome)) {
    // Completed at once: the cheap path the benchmarks depend on.
    FinishTransfer(p, outcome);
    if (outcome.Error == ERROR_SUCCESS) plug.MovedBytes += p.Done;
    if (plug.Busy) PumpQueues(plug, options_, NowNs());
    *bytesReturned = p.HeaderBytes + p.Done;
    *error = outcome.Error;
    if (outcome.Error == ERROR_SUCCESS) return true;
    if (record) *error = ERROR_IO_PENDING;  // the record already carries the failure
    return false;
  }
  Overlapped ownRecord;
  Event ownEvent(false, false);
  if (!record) {
    ownRecord.hEvent = &ownEvent;
    BeginOverlapped(&ownRecord);
    p.Record = &ownRecord;
  }
  if (record && !unlimited_) {
    record->Finisher = this;
    record->FinisherTag = plugIndex << 8 | static_cast<uint32_t>(EndpointSlot(p.EndpointAddress));
  }
  const uint64_t now = NowNs();
  p.SubmitNs = now;
  QueueTransfer(plug, p);
  PumpQueues(plug, options_, now);
  lock.unlock();
  if (!unlimited_) bus_.Wake();
  if (record) {
    *error = ERROR_IO_PENDING;
    return false;
  }
  // A request without a record waits here until it ends.
  WaitForSingleObject(&ownEvent, INFINITE);
  uint32_t bytes = 0;
  const bool ok = GetOverlappedResult(&ownRecord, &bytes, false, error);
  *bytesReturned = bytes;
  return ok;
}

void SimDriverPort::FinishOnWaiter(Overlapped* record, uint64_t deadlineNs) {
  const uint32_t plugIndex = record->FinisherTag >> 8;
  if (plugIndex >= plugs_.size()) return;
  SimPlug& plug = *plugs_[plugIndex];
  EndpointQueue& queue = plug.Queues[record->FinisherTag & 0xFF];
  uint64_t due;
  {
    std::lock_guard lock(plug.Lock);
    if (queue.Items.empty() || queue.Items.front().Record != record) return;
    PendingTransfer& head = queue.Items.front();
    // Only one whose data has moved has a completion time.
    if (!head.Scheduled || !head.Ended) return;
    if (head.DueNs > deadlineNs || head.DueNs > NowNs() + kLongestWaiterFinishNs) return;
    head.Awaited = true;
    due = head.DueNs;
  }
  SleepUntilNs(due);
  uint64_t next = 0;
  {
    std::lock_guard lock(plug.Lock);
    // Ended meanwhile by an abort, a close or a removal, it is no longer queued.
    if (plug.Busy) next = PumpQueues(plug, options_, NowNs());
  }
  // What queued behind it now waits for the bus thread.
  if (next != 0) bus_.Wake();
}

NotifyHandle SimDriverPort::RegisterClassNotification(const Guid& interfaceClass,
                                                      DeviceNoticeRecipient* recipient,
                                                      uint32_t* error) {
  if (recipient == nullptr) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return NO_NOTIFY_HANDLE;
  }
  (void)interfaceClass;  // notices of other classes never come, so any class registers
  if (error) *error = ERROR_SUCCESS;
  return notices_.RegisterClass(recipient);
}

NotifyHandle SimDriverPort::RegisterHandleNotification(DriverHandle handle,
                                                       DeviceNoticeRecipient* recipient,
                                                       uint32_t* error) {
  uint32_t plugIndex, generation;
  if (recipient == nullptr || !handles_.Lookup(handle, &plugIndex, &generation)) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return NO_NOTIFY_HANDLE;
  }
  if (error) *error = ERROR_SUCCESS;
  return notices_.RegisterHandle(handle, recipient);
}

bool SimDriverPort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  const bool found = notices_.Unregister(registration, bus_.IsCurrentThread());
  if (error) *error = found ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  return found;
}

void SimDriverPort::TakeOffBus(uint32_t index, uint64_t now, std::vector<DeviceNotice>* notices) {
  SimPlug& plug = *plugs_[index];
  // Off the bus: pending requests fail, open handles go stale, halts are forgotten.
  FailTransfers(plug, kTransferDeviceGone, 0, true);
  plug.Model->LeaveBus();
  plug.Halts.ClearAll();
  plug.Present = false;
  ++plug.Generation;
  plug.LeaveAtNs = 0;
  if (plug.RemoveAtNs != 0 && plug.RemoveAtNs <= now) {
    plug.Gone = true;
    plug.ReturnAtNs = 0;
  }
  for (DriverHandle handle : handles_.HandlesOf(index, plug.Generation - 1)) {
    DeviceNotice notice;
    notice.Event = DBT_DEVICEREMOVECOMPLETE;
    notice.Handle = handle;
    notices->push_back(notice);
  }
  DeviceNotice removal;
  removal.Event = DBT_DEVICEREMOVECOMPLETE;
  removal.IsInterface = true;
  removal.Path = plug.Path;
  notices->push_back(removal);
}

void SimDriverPort::BringBack(uint32_t index, std::vector<DeviceNotice>* notices) {
  SimPlug& plug = *plugs_[index];
  plug.Model->ReturnToBus();
  plug.Descriptors = ServeDescriptors(*plug.Model, options_);
  plug.Halts.ClearAll();
  plug.Present = true;
  plug.ReturnAtNs = 0;
  plug.InTransfers = plug.OutTransfers = 0;
  plug.BusAddress = static_cast<uint8_t>(plug.BusAddress % 127 + 1);
  DeviceNotice arrival;
  arrival.Event = DBT_DEVICEARRIVAL;
  arrival.IsInterface = true;
  arrival.Path = plug.Path;
  notices->push_back(arrival);
}

uint64_t SimDriverPort::BusStep(uint64_t now) {
  uint64_t next = 0;
  auto consider = [&next](uint64_t t) {
    if (t != 0) next = next == 0 ? t : std::min(next, t);
  };
  for (uint32_t i = 0; i < plugs_.size(); ++i) {
    SimPlug& plug = *plugs_[i];
    std::vector<DeviceNotice> notices;
    {
      std::lock_guard lock(plug.Lock);
      const uint64_t leaveAt = plug.LeaveAtNs ? plug.LeaveAtNs : plug.RemoveAtNs;
      if (plug.Present && leaveAt != 0 && leaveAt <= now) TakeOffBus(i, now, &notices);
      if (!plug.Present && !plug.Gone && plug.ReturnAtNs != 0 && plug.ReturnAtNs <= now) {
        BringBack(i, &notices);
      }
      if (plug.Busy) consider(PumpQueues(plug, options_, now));
      if (plug.Present) consider(plug.LeaveAtNs ? plug.LeaveAtNs : plug.RemoveAtNs);
      if (!plug.Present && !plug.Gone) consider(plug.ReturnAtNs);
    }
    notices_.Post(notices);
  }
  notices_.DeliverPosted();
  return next;
}
