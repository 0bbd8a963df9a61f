#include "sim/sim_driver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>

#include "platform/event.h"
#include "platform/win_error.h"
#include "sim/plug_model.h"
#include "usb/driver_requests.h"
#include "usb/plug_ids.h"

// Link rates chosen for a plug on a good host controller. SuperSpeed bulk: 5 Gb/s
// signalling less 8b/10b coding and protocol overhead leaves about 450 MB/s; good
// hosts read about 440 MB/s and write a little slower (400 MB/s). High speed bulk:
// 13 packets of 512 bytes per microframe is about 53 MB/s in theory, 42/40 MB/s on
// real hosts. Full speed: 19 packets of 64 bytes per frame, about 1.1/1.0 MB/s. Each
// transfer also pays a small start-up latency: 20 us at SuperSpeed, one microframe
// (125 us) at high speed, one frame (1 ms) at full speed.
double DefaultLinkRate(uint8_t speed, bool in) {
  switch (speed) {
    case SIM_SPEED_SUPER:
      return in ? 440.0 : 400.0;
    case SIM_SPEED_HIGH:
      return in ? 42.0 : 40.0;
    default:
      return in ? 1.1 : 1.0;
  }
}

namespace {

constexpr uint64_t kLeaveDelayNs = 5'000'000;  // the plug drops off 5 ms after its reply
constexpr uint32_t kDriverRevision = 0x00010300;
constexpr uint32_t kUsbdiRevision = 0x00000600;
constexpr DriverHandle kFirstHandle = 0x100;

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint64_t LatencyNs(uint8_t speed) {
  return speed == SIM_SPEED_SUPER ? 20'000 : speed == SIM_SPEED_HIGH ? 125'000 : 1'000'000;
}

int QueueIndex(uint8_t address) {
  return (address & 0x0F) | ((address & 0x80) ? 16 : 0);
}

bool SameTextNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

enum class Fault : uint8_t { None, Error, Short, Corrupt, Timeout, Stall };

// How a transfer ended: system error for the record, and the two block statuses.
struct Outcome {
  uint32_t Error = ERROR_SUCCESS;
  uint32_t NtStatus = 0;
  uint32_t UsbdStatus = 0;
};
constexpr Outcome kSuccess{};
constexpr Outcome kStalled{ERROR_GEN_FAILURE, SIM_NTSTATUS_UNSUCCESSFUL, SIM_USBD_STATUS_STALL};
constexpr Outcome kBusError{ERROR_GEN_FAILURE, SIM_NTSTATUS_UNSUCCESSFUL, SIM_USBD_STATUS_CRC};
constexpr Outcome kCancelled{ERROR_OPERATION_ABORTED, SIM_NTSTATUS_CANCELLED,
                             SIM_USBD_STATUS_CANCELED};
constexpr Outcome kGone{ERROR_DEVICE_NOT_CONNECTED, SIM_NTSTATUS_DEVICE_GONE,
                        SIM_USBD_STATUS_DEVICE_GONE};

}  // namespace

struct SimDriverPort::Pending {
  Overlapped* Record = nullptr;
  DriverHandle Handle = INVALID_DRIVER_HANDLE;
  uint8_t Address = 0;
  uint8_t* Block = nullptr;    // statuses go here
  uint8_t* Records = nullptr;  // isochronous packet records, or null
  uint8_t* Data = nullptr;
  uint32_t Length = 0;
  uint32_t Done = 0;
  uint32_t HeaderBytes = 0;  // buffered form: reported on top of the data bytes
  uint32_t Packets = 0;
  uint64_t DueNs = 0;
  bool Scheduled = false;
  Fault Injected = Fault::None;
};

namespace {
struct EndpointQueue {
  std::deque<SimDriverPort::Pending> Items;
  uint64_t BusyUntilNs = 0;
};
}  // namespace

struct alignas(64) SimDriverPort::Plug {
  // Touched by every transfer.
  mutable std::mutex Lock;
  std::unique_ptr<PlugModel> Model;
  uint32_t Busy = 0;  // one bit per non-empty queue
  uint32_t Generation = 1;
  bool Present = true;
  bool Gone = false;  // removed for good
  uint32_t InTransfers = 0, OutTransfers = 0;

  uint8_t BusAddress = 1;
  std::string Serial, Path;
  std::array<EndpointQueue, 32> Queues;
  uint64_t LeaveAtNs = 0, ReturnAtNs = 0, RemoveAtNs = 0;
  std::mt19937 Random;
};

namespace {
constexpr uint64_t kHandleOpen = uint64_t(1) << 63;
uint64_t PackHandle(uint32_t plug, uint32_t generation) {
  return kHandleOpen | uint64_t(plug) << 32 | generation;
}
size_t HandleSlot(DriverHandle handle) {
  return static_cast<size_t>((handle - kFirstHandle) / 4);
}
DriverHandle SlotHandle(size_t slot) {
  return kFirstHandle + static_cast<DriverHandle>(slot) * 4;
}
}  // namespace

bool SimDriverPort::LookupHandle(DriverHandle handle, uint32_t* plug, uint32_t* generation) const {
  if (handle < kFirstHandle || (handle - kFirstHandle) % 4 != 0) return false;
  const size_t slot = HandleSlot(handle);
  if (slot >= handleSlots_.load(std::memory_order_acquire)) return false;
  const uint64_t entry = handles_[slot].load(std::memory_order_acquire);
  if ((entry & kHandleOpen) == 0) return false;
  *plug = static_cast<uint32_t>(entry >> 32) & 0x7FFFFFFF;
  *generation = static_cast<uint32_t>(entry);
  return true;
}

struct SimDriverPort::Registration {
  NotifyHandle Id = NO_NOTIFY_HANDLE;
  bool IsClass = true;
  DriverHandle Handle = INVALID_DRIVER_HANDLE;
  DeviceNoticeRecipient* Recipient = nullptr;
};

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

std::string SimDevicePath(const std::string& serial) {
  std::string guid = PLUG_INTERFACE_CLASS.ToString();
  for (char& c : guid) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  char prefix[40];
  std::snprintf(prefix, sizeof prefix, "\\\\?\\usb#vid_%04x&pid_%04x#", PLUG_VENDOR_ID,
                PLUG_PRODUCT_ID);
  return prefix + serial + "#" + guid;
}

namespace {

using Plug = SimDriverPort::Plug;
using Pending = SimDriverPort::Pending;

void Finish(Pending& p, const Outcome& outcome) {
  PutLe32(p.Block + DTB_NTSTATUS_OFFSET, outcome.NtStatus);
  PutLe32(p.Block + DTB_USBDSTATUS_OFFSET, outcome.UsbdStatus);
  if (p.Record) CompleteOverlapped(p.Record, outcome.Error, p.HeaderBytes + p.Done);
}

void Corrupt(Plug& plug, Pending& p, uint32_t count) {
  if (p.Done == 0) return;
  count = std::min(count, p.Done);
  uint32_t step = std::max<uint32_t>(1, p.Done / count);
  uint32_t start = plug.Random() % step;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t flip = static_cast<uint8_t>(1 + plug.Random() % 255);
    p.Data[(start + i * step) % p.Done] ^= flip;
  }
}

// Moves data for one request as far as the plug allows. True when it has ended,
// with *outcome saying how.
bool Progress(Plug& plug, Pending& p, const SimOptions& options, Outcome* outcome) {
  PlugModel& model = *plug.Model;
  switch (p.Injected) {
    case Fault::Timeout:
      return false;  // the plug never answers; only an abort ends it
    case Fault::Stall:
      model.SetHalt(p.Address, true);
      *outcome = kStalled;
      return true;
    case Fault::Error:
      *outcome = kBusError;
      return true;
    default:
      break;
  }
  const PlugEndpoint* endpoint = model.FindEndpoint(p.Address);
  if (endpoint == nullptr || model.IsHalted(p.Address)) {
    *outcome = kStalled;
    return true;
  }
  const bool in = (p.Address & 0x80) != 0;
  if (p.Records != nullptr) {
    // Isochronous: one packet per service interval, no handshake and no retry; a
    // plug with nothing to send sends empty packets.
    const uint32_t per = endpoint->IntervalBytes();
    for (uint32_t i = 0; i < p.Packets; ++i) {
      uint32_t offset = i * per;
      uint32_t want = offset < p.Length ? std::min(per, p.Length - offset) : 0;
      uint32_t got = 0;
      if (want != 0) {
        EndpointIo io = in ? model.ReadEndpoint(p.Address, p.Data + offset, want)
                           : model.WriteEndpoint(p.Address, p.Data + offset, want, true);
        got = io.Status == EndpointStatus::Ok ? io.Bytes : 0;
      }
      if (!in) got = want;  // OUT packets leave the host whether or not the plug keeps them
      WriteIsoPacketResult({0, got}, p.Records + ISO_PACKET_RESULT_SIZE * i);
      p.Done = std::max(p.Done, offset + got);
    }
    *outcome = kSuccess;
    return true;
  }
  EndpointIo io = in ? model.ReadEndpoint(p.Address, p.Data + p.Done, p.Length - p.Done)
                     : model.WriteEndpoint(p.Address, p.Data + p.Done, p.Length - p.Done, true);
  if (io.Status == EndpointStatus::Stall) {
    *outcome = kStalled;
    return true;
  }
  if (io.Status == EndpointStatus::Nak) return false;
  p.Done += io.Bytes;
  if (!io.TransferEnds && p.Done < p.Length) return false;
  if (p.Injected == Fault::Corrupt) Corrupt(plug, p, options.CorruptBytes);
  *outcome = kSuccess;
  return true;
}

uint64_t DurationNs(const Plug& plug, const Pending& p, const SimOptions& options) {
  if (options.Unlimited) return 0;
  const PlugEndpoint* endpoint = plug.Model->FindEndpoint(p.Address);
  const uint8_t speed = plug.Model->Speed();
  if (p.Records != nullptr && endpoint != nullptr) {
    uint64_t frame = speed == SIM_SPEED_FULL ? 1'000'000 : 125'000;
    uint64_t interval = frame << (std::clamp<uint8_t>(endpoint->bInterval, 1, 16) - 1);
    return p.Packets * interval;
  }
  const bool in = (p.Address & 0x80) != 0;
  double rate = options.RateMBps > 0 ? options.RateMBps : DefaultLinkRate(speed, in);
  return LatencyNs(speed) + static_cast<uint64_t>(p.Length / (rate * 1048576.0) * 1e9);
}

// Serves every queue of the plug that can move. Returns the earliest time at which
// a waiting request becomes due, or 0 when none is waiting for time.
uint64_t Pump(Plug& plug, const SimOptions& options, uint64_t now) {
  uint64_t next = 0;
  bool moved = true;
  while (moved && plug.Busy != 0) {
    moved = false;
    next = 0;
    for (int index = 0; index < 32; ++index) {
      if ((plug.Busy & (1u << index)) == 0) continue;
      EndpointQueue& queue = plug.Queues[index];
      while (!queue.Items.empty()) {
        Pending& head = queue.Items.front();
        if (!head.Scheduled) {
          head.DueNs = std::max(now, queue.BusyUntilNs) + DurationNs(plug, head, options);
          queue.BusyUntilNs = head.DueNs;
          head.Scheduled = true;
        }
        if (head.DueNs > now) {
          next = next == 0 ? head.DueNs : std::min(next, head.DueNs);
          break;
        }
        Outcome outcome;
        if (!Progress(plug, head, options, &outcome)) break;
        Finish(head, outcome);
        queue.Items.pop_front();
        moved = true;
      }
      if (queue.Items.empty()) plug.Busy &= ~(1u << index);
    }
  }
  return next;
}

void FailAll(Plug& plug, const Outcome& outcome, uint8_t address, bool allEndpoints,
             DriverHandle handle = INVALID_DRIVER_HANDLE) {
  for (int index = 0; index < 32; ++index) {
    if (!allEndpoints && index != QueueIndex(address)) continue;
    EndpointQueue& queue = plug.Queues[index];
    for (auto it = queue.Items.begin(); it != queue.Items.end();) {
      if (handle != INVALID_DRIVER_HANDLE && it->Handle != handle) {
        ++it;
        continue;
      }
      Finish(*it, outcome);
      it = queue.Items.erase(it);
    }
    // Requests queued after an abort start from a fresh bus schedule.
    queue.BusyUntilNs = 0;
    if (queue.Items.empty()) plug.Busy &= ~(1u << index);
  }
}

}  // namespace

SimDriverPort::SimDriverPort(const SimOptions& options)
    : handles_(new std::atomic<uint64_t>[kMaxHandles]), options_(options) {
  unlimited_ = options_.Unlimited;
  anyFaults_ = options_.ReadErrorEvery || options_.WriteErrorEvery || options_.ShortReadEvery ||
               options_.CorruptEvery || options_.TimeoutEvery || options_.StallEvery;
  for (uint32_t i = 0; i < kMaxHandles; ++i) handles_[i].store(0, std::memory_order_relaxed);
  const uint64_t now = NowNs();
  for (uint32_t i = 0; i < options_.Plugs; ++i) {
    auto plug = std::make_unique<Plug>();
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04u", i + 1);
    plug->Serial = options_.SerialPrefix + digits;
    plug->Path = SimDevicePath(plug->Serial);
    PlugIdentity identity;
    identity.Serial = plug->Serial;
    identity.PortSpeed = options_.Speed;
    identity.HasFirmware = options_.HasFirmware;
    identity.Firmware = options_.Firmware;
    identity.Seed = options_.Seed + i;
    identity.BadConfig = options_.BadConfig;
    identity.BadBos = options_.BadBos;
    identity.PhyErrors = options_.PhyErrors;
    identity.LinkErrors = options_.LinkErrors;
    identity.PhyFlags = options_.PhyFlags;
    identity.LinkFlags = options_.LinkFlags;
    plug->Model = std::make_unique<PlugModel>(identity);
    plug->Random.seed(options_.Seed * 7919u + i);
    plug->BusAddress = static_cast<uint8_t>(i + 1);
    if (options_.RemoveAfterMs)
      plug->RemoveAtNs = now + uint64_t(options_.RemoveAfterMs) * 1'000'000;
    plugs_.push_back(std::move(plug));
  }
  busThread_ = std::thread([this] { BusThread(); });
  busThreadId_.store(busThread_.get_id());
}

SimDriverPort::~SimDriverPort() {
  stopping_.store(true);
  Wake();
  busThread_.join();
  // Nobody must be left waiting on a request of a driver that is going away.
  for (auto& plug : plugs_) {
    std::lock_guard lock(plug->Lock);
    FailAll(*plug, kCancelled, 0, true);
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

void SimDriverPort::UnplugNow(uint32_t plug, uint32_t comeBackMs) {
  if (plug >= plugs_.size()) return;
  {
    std::lock_guard lock(plugs_[plug]->Lock);
    Plug& p = *plugs_[plug];
    if (!p.Present) return;
    p.LeaveAtNs = NowNs();
    if (comeBackMs == 0) {
      p.RemoveAtNs = p.LeaveAtNs;
    } else {
      p.ReturnAtNs = p.LeaveAtNs + uint64_t(comeBackMs) * 1'000'000;
    }
  }
  Wake();
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
    Plug& plug = *plugs_[i];
    if (!SameTextNoCase(path, plug.Path)) continue;
    uint32_t generation;
    {
      std::lock_guard lock(plug.Lock);
      if (!plug.Present) {
        if (error) *error = ERROR_NO_SUCH_DEVICE;
        return INVALID_DRIVER_HANDLE;
      }
      generation = plug.Generation;
    }
    std::lock_guard lock(handlesLock_);
    // Closed slots are reused, as handle values are on the original platform.
    const uint32_t used = handleSlots_.load(std::memory_order_relaxed);
    size_t slot = 0;
    while (slot < used && (handles_[slot].load(std::memory_order_relaxed) & kHandleOpen)) ++slot;
    if (slot == kMaxHandles) {
      if (error) *error = ERROR_NOT_ENOUGH_MEMORY;
      return INVALID_DRIVER_HANDLE;
    }
    handles_[slot].store(PackHandle(i, generation), std::memory_order_release);
    if (slot == used) handleSlots_.store(used + 1, std::memory_order_release);
    if (error) *error = ERROR_SUCCESS;
    return SlotHandle(slot);
  }
  if (error) *error = ERROR_FILE_NOT_FOUND;
  return INVALID_DRIVER_HANDLE;
}

bool SimDriverPort::Close(DriverHandle handle, uint32_t* error) {
  uint32_t plugIndex;
  {
    std::lock_guard lock(handlesLock_);
    uint32_t generation;
    if (!LookupHandle(handle, &plugIndex, &generation)) {
      if (error) *error = ERROR_INVALID_HANDLE;
      return false;
    }
    handles_[HandleSlot(handle)].fetch_and(~kHandleOpen, std::memory_order_release);
  }
  // Closing a handle cancels what is still pending on it.
  Plug& plug = *plugs_[plugIndex];
  std::lock_guard lock(plug.Lock);
  FailAll(plug, kCancelled, 0, true, handle);
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
  if (!LookupHandle(handle, &plugIndex, &generation)) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  Plug& plug = *plugs_[plugIndex];
  if (code == IOCTL_EP0_TRANSFER || code == IOCTL_BUFFERED_TRANSFER ||
      code == IOCTL_DIRECT_TRANSFER) {
    return Transfer(plug, generation, handle, code, in, inLength, out, outLength, bytesReturned,
                    record, error);
  }
  auto answer = [&](const void* value, uint32_t size) {
    if (size != 0 && (out == nullptr || outLength < size)) {
      *error = ERROR_INSUFFICIENT_BUFFER;
      return false;
    }
    if (size) std::memcpy(out, value, size);
    *bytesReturned = size;
    *error = ERROR_SUCCESS;
    if (record) {
      BeginOverlapped(record);
      CompleteOverlapped(record, ERROR_SUCCESS, size);
    }
    return true;
  };

  std::unique_lock lock(plug.Lock);
  if (!plug.Present || plug.Generation != generation) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  switch (code) {
    case IOCTL_GET_DRIVER_REVISION: {
      uint8_t value[4];
      PutLe32(value, kDriverRevision);
      return answer(value, 4);
    }
    case IOCTL_GET_USBDI_REVISION: {
      uint8_t value[4];
      PutLe32(value, kUsbdiRevision);
      return answer(value, 4);
    }
    case IOCTL_GET_ALT_SETTING: {
      uint8_t setting = 0;
      return answer(&setting, 1);
    }
    case IOCTL_GET_BUS_ADDRESS:
      return answer(&plug.BusAddress, 1);
    case IOCTL_GET_SPEED: {
      uint8_t value[4];
      const uint8_t speed = plug.Model->Speed();
      PutLe32(value, speed == SIM_SPEED_SUPER  ? DRIVER_SPEED_SUPER
                     : speed == SIM_SPEED_HIGH ? DRIVER_SPEED_HIGH
                                               : 1);
      return answer(value, 4);
    }
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
      FailAll(plug, kCancelled, 0, true);
      for (const PlugEndpoint& e : plug.Model->Endpoints()) {
        plug.Model->SetHalt(e.bEndpointAddress, false);
      }
      return answer(nullptr, 0);
    case IOCTL_RESET_ENDPOINT:
    case IOCTL_ABORT_ENDPOINT: {
      if (in == nullptr || inLength < 1) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
      }
      uint8_t address = *static_cast<const uint8_t*>(in);
      if (address != 0 && plug.Model->FindEndpoint(address) == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
      }
      if (code == IOCTL_ABORT_ENDPOINT) {
        FailAll(plug, kCancelled, address, false);
      } else {
        plug.Model->SetHalt(address, false);
      }
      return answer(nullptr, 0);
    }
    case IOCTL_SET_TRANSFER_SIZE: {
      if (in == nullptr || inLength < TRANSFER_SIZE_BLOCK_SIZE) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
      }
      uint8_t address;
      uint32_t size;
      ReadTransferSizeBlock(static_cast<const uint8_t*>(in), &address, &size);
      if (plug.Model->FindEndpoint(address) == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
      }
      // The plug moves whatever each request asks for; the size is only a hint here.
      uint8_t block[TRANSFER_SIZE_BLOCK_SIZE];
      std::memcpy(block, in, TRANSFER_SIZE_BLOCK_SIZE);
      return answer(block, out ? TRANSFER_SIZE_BLOCK_SIZE : 0);
    }
    default:
      *error = ERROR_INVALID_PARAMETER;
      return false;
  }
}

bool SimDriverPort::Ep0Transfer(Plug& plug, uint8_t* block, uint32_t length,
                                uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  DriverTransferBlock header = ReadDriverTransferBlock(block);
  if (header.BufferOffset < DRIVER_TRANSFER_BLOCK_SIZE ||
      uint64_t(header.BufferOffset) + header.BufferLength > length ||
      header.BufferLength < header.wLength) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  SetupPacket setup{header.bmRequestType, header.bRequest, header.wValue, header.wIndex,
                    header.wLength};
  uint8_t* data = block + header.BufferOffset;
  ControlReply reply = plug.Model->HandleSetup(setup, data);
  const Outcome& outcome = reply.Stalled ? kStalled : kSuccess;
  PutLe32(block + DTB_NTSTATUS_OFFSET, outcome.NtStatus);
  PutLe32(block + DTB_USBDSTATUS_OFFSET, outcome.UsbdStatus);
  *bytesReturned = header.BufferOffset + reply.Length;
  if (plug.Model->ReenumerationRequested() && plug.LeaveAtNs == 0) {
    plug.LeaveAtNs = NowNs() + kLeaveDelayNs;
    if (options_.NoReturn) {
      plug.RemoveAtNs = plug.LeaveAtNs;
    } else {
      plug.ReturnAtNs = plug.LeaveAtNs + uint64_t(options_.ReenumMs) * 1'000'000;
    }
    Wake();
  }
  // A control request may let data move (the benchmark start), so serve the queues.
  if (plug.Busy) Pump(plug, options_, NowNs());
  if (record) {
    BeginOverlapped(record);
    CompleteOverlapped(record, outcome.Error, *bytesReturned);
  }
  *error = outcome.Error;
  if (outcome.Error == ERROR_SUCCESS) return true;
  if (record) *error = ERROR_IO_PENDING;  // the record already carries the failure
  return false;
}

bool SimDriverPort::Transfer(Plug& plug, uint32_t generation, DriverHandle handle, uint32_t code,
                             const void* in, uint32_t inLength, void* out, uint32_t outLength,
                             uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  if (in == nullptr || inLength < DRIVER_TRANSFER_BLOCK_SIZE) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  Pending p;
  p.Handle = handle;
  uint32_t blockLength = inLength;
  if (code == IOCTL_DIRECT_TRANSFER) {
    // The direct form hands the caller's input block to the driver as it is: the
    // statuses and packet records go back into it.
    p.Block = const_cast<uint8_t*>(static_cast<const uint8_t*>(in));
    p.Data = static_cast<uint8_t*>(out);
    p.Length = out ? outLength : 0;
  } else {
    if (out == nullptr || outLength < DRIVER_TRANSFER_BLOCK_SIZE) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (out != in) std::memcpy(out, in, std::min(inLength, outLength));
    p.Block = static_cast<uint8_t*>(out);
    blockLength = outLength;
  }
  DriverTransferBlock header = ReadDriverTransferBlock(p.Block);
  if (header.PacketRecordLength != 0 &&
      (header.PacketRecordOffset < DRIVER_TRANSFER_BLOCK_SIZE ||
       uint64_t(header.PacketRecordOffset) + header.PacketRecordLength > blockLength)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  std::unique_lock lock(plug.Lock);
  if (!plug.Present || plug.Generation != generation) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  if (code == IOCTL_EP0_TRANSFER)
    return Ep0Transfer(plug, p.Block, blockLength, bytesReturned, record, error);
  if (code == IOCTL_BUFFERED_TRANSFER) {
    if (header.BufferOffset < DRIVER_TRANSFER_BLOCK_SIZE ||
        uint64_t(header.BufferOffset) + header.BufferLength > blockLength) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    p.Data = p.Block + header.BufferOffset;
    p.Length = header.BufferLength;
    p.HeaderBytes = header.BufferOffset;
  }
  p.Address = header.EndpointAddress;
  const PlugEndpoint* endpoint = plug.Model->FindEndpoint(p.Address);
  if (p.Address == 0 || endpoint == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (endpoint->IsIsochronous()) {
    p.Packets = header.PacketRecordLength / ISO_PACKET_RESULT_SIZE;
    if (p.Packets == 0) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    p.Records = p.Block + header.PacketRecordOffset;
    std::memset(p.Records, 0, header.PacketRecordLength);
  }

  // Faults count the data transfers of each direction; the display endpoint is left
  // alone so that the monitor's reads do not shift the count.
  if (anyFaults_ && endpoint->Role != EndpointRole::Display) {
    const bool isIn = endpoint->IsIn();
    const uint32_t n = isIn ? ++plug.InTransfers : ++plug.OutTransfers;
    auto every = [n](uint32_t period) { return period != 0 && n % period == 0; };
    if (every(options_.TimeoutEvery)) {
      p.Injected = Fault::Timeout;
    } else if (every(options_.StallEvery)) {
      p.Injected = Fault::Stall;
    } else if (every(isIn ? options_.ReadErrorEvery : options_.WriteErrorEvery)) {
      p.Injected = Fault::Error;
    } else if (isIn && every(options_.ShortReadEvery)) {
      p.Injected = Fault::Short;
      const uint32_t packet = endpoint->PacketBytes();
      uint32_t half = p.Length / 2;
      p.Length = half >= packet ? half - half % packet : half;
    } else if (isIn && every(options_.CorruptEvery)) {
      p.Injected = Fault::Corrupt;
    }
  }

  if (record) BeginOverlapped(record);
  p.Record = record;
  const uint32_t queueBit = 1u << QueueIndex(p.Address);
  Outcome outcome;
  if (unlimited_ && (plug.Busy & queueBit) == 0 && Progress(plug, p, options_, &outcome)) {
    // Completed at once: the cheap path the benchmarks depend on.
    Finish(p, outcome);
    if (plug.Busy) Pump(plug, options_, NowNs());
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
  plug.Queues[QueueIndex(p.Address)].Items.push_back(p);
  plug.Busy |= queueBit;
  Pump(plug, options_, NowNs());
  lock.unlock();
  if (!unlimited_) Wake();
  if (record) {
    *error = ERROR_IO_PENDING;
    return false;
  }
  // A request without a record waits here until it ends.
  WaitForSingleObject(&ownEvent, INFINITE);
  uint32_t bytes = 0;
  bool ok = GetOverlappedResult(&ownRecord, &bytes, false, error);
  *bytesReturned = bytes;
  return ok;
}

NotifyHandle SimDriverPort::RegisterClassNotification(const Guid& interfaceClass,
                                                      DeviceNoticeRecipient* recipient,
                                                      uint32_t* error) {
  if (recipient == nullptr) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return NO_NOTIFY_HANDLE;
  }
  (void)interfaceClass;  // notices of other classes never come, so any class registers
  std::lock_guard lock(notifyLock_);
  registrations_.push_back({++nextRegistration_, true, INVALID_DRIVER_HANDLE, recipient});
  if (error) *error = ERROR_SUCCESS;
  return nextRegistration_;
}

NotifyHandle SimDriverPort::RegisterHandleNotification(DriverHandle handle,
                                                       DeviceNoticeRecipient* recipient,
                                                       uint32_t* error) {
  uint32_t plugIndex, generation;
  if (recipient == nullptr || !LookupHandle(handle, &plugIndex, &generation)) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return NO_NOTIFY_HANDLE;
  }
  std::lock_guard lock(notifyLock_);
  registrations_.push_back({++nextRegistration_, false, handle, recipient});
  if (error) *error = ERROR_SUCCESS;
  return nextRegistration_;
}

bool SimDriverPort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  // Once this returns, no notice is delivered to the registration any more: outside
  // the bus thread, wait for a delivery in progress to finish.
  std::unique_lock<std::mutex> delivery;
  if (std::this_thread::get_id() != busThreadId_.load()) delivery = std::unique_lock(deliveryLock_);
  std::lock_guard lock(notifyLock_);
  auto it = std::find_if(registrations_.begin(), registrations_.end(),
                         [&](const Registration& r) { return r.Id == registration; });
  if (it == registrations_.end()) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  registrations_.erase(it);
  if (error) *error = ERROR_SUCCESS;
  return true;
}

void SimDriverPort::Wake() {
  {
    std::lock_guard lock(busLock_);
    busWoken_ = true;
  }
  busWake_.notify_one();
}

void SimDriverPort::DeliverNotices() {
  std::lock_guard delivery(deliveryLock_);
  std::vector<DeviceNotice> notices;
  {
    std::lock_guard lock(notifyLock_);
    notices.swap(noticeQueue_);
  }
  for (const DeviceNotice& notice : notices) {
    // Walk by id so that a recipient may unregister (itself or others) meanwhile.
    std::vector<NotifyHandle> ids;
    {
      std::lock_guard lock(notifyLock_);
      for (const Registration& r : registrations_) {
        if (notice.IsInterface ? r.IsClass : (!r.IsClass && r.Handle == notice.Handle)) {
          ids.push_back(r.Id);
        }
      }
    }
    for (NotifyHandle id : ids) {
      DeviceNoticeRecipient* recipient = nullptr;
      {
        std::lock_guard lock(notifyLock_);
        for (const Registration& r : registrations_) {
          if (r.Id == id) recipient = r.Recipient;
        }
      }
      if (recipient) recipient->OnDeviceNotice(notice);
    }
  }
}

void SimDriverPort::BusThread() {
  while (!stopping_.load()) {
    const uint64_t now = NowNs();
    uint64_t next = 0;
    auto consider = [&next](uint64_t t) {
      if (t != 0) next = next == 0 ? t : std::min(next, t);
    };
    for (uint32_t i = 0; i < plugs_.size(); ++i) {
      Plug& plug = *plugs_[i];
      std::vector<DeviceNotice> notices;
      {
        std::lock_guard lock(plug.Lock);
        const uint64_t leaveAt = plug.LeaveAtNs ? plug.LeaveAtNs : plug.RemoveAtNs;
        if (plug.Present && leaveAt != 0 && leaveAt <= now) {
          // Off the bus: pending requests fail, open handles go stale.
          FailAll(plug, kGone, 0, true);
          plug.Model->LeaveBus();
          plug.Present = false;
          ++plug.Generation;
          plug.LeaveAtNs = 0;
          if (plug.RemoveAtNs != 0 && plug.RemoveAtNs <= now) {
            plug.Gone = true;
            plug.ReturnAtNs = 0;
          }
          const uint32_t slots = handleSlots_.load(std::memory_order_acquire);
          for (size_t slot = 0; slot < slots; ++slot) {
            uint32_t owner, generation;
            if (LookupHandle(SlotHandle(slot), &owner, &generation) && owner == i &&
                generation + 1 == plug.Generation) {
              DeviceNotice notice;
              notice.Event = DBT_DEVICEREMOVECOMPLETE;
              notice.Handle = SlotHandle(slot);
              notices.push_back(notice);
            }
          }
          DeviceNotice removal;
          removal.Event = DBT_DEVICEREMOVECOMPLETE;
          removal.IsInterface = true;
          removal.Path = plug.Path;
          notices.push_back(removal);
        }
        if (!plug.Present && !plug.Gone && plug.ReturnAtNs != 0 && plug.ReturnAtNs <= now) {
          plug.Model->ReturnToBus();
          plug.Present = true;
          plug.ReturnAtNs = 0;
          plug.InTransfers = plug.OutTransfers = 0;
          plug.BusAddress = static_cast<uint8_t>(plug.BusAddress % 127 + 1);
          DeviceNotice arrival;
          arrival.Event = DBT_DEVICEARRIVAL;
          arrival.IsInterface = true;
          arrival.Path = plug.Path;
          notices.push_back(arrival);
        }
        if (plug.Busy) consider(Pump(plug, options_, now));
        if (plug.Present) consider(plug.LeaveAtNs ? plug.LeaveAtNs : plug.RemoveAtNs);
        if (!plug.Present && !plug.Gone) consider(plug.ReturnAtNs);
      }
      if (!notices.empty()) {
        std::lock_guard lock(notifyLock_);
        noticeQueue_.insert(noticeQueue_.end(), notices.begin(), notices.end());
      }
    }
    DeliverNotices();

    std::unique_lock lock(busLock_);
    if (busWoken_ || stopping_.load()) {
      busWoken_ = false;
      continue;
    }
    if (next == 0) {
      busWake_.wait(lock, [this] { return busWoken_ || stopping_.load(); });
    } else {
      const uint64_t nowAgain = NowNs();
      if (next > nowAgain) {
        busWake_.wait_for(lock, std::chrono::nanoseconds(next - nowAgain),
                          [this] { return busWoken_ || stopping_.load(); });
      }
    }
    busWoken_ = false;
  }
}
