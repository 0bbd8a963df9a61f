#include "usbhost/usbhost_port.h"

#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/notice_registry.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "protocol/device_path.h"
#include "protocol/driver_requests.h"
#include "protocol/request_decoder.h"
#include "protocol/usb_standard.h"
#include "usbhost/host_devices.h"
#include "usbhost/host_notices.h"
#include "usbhost/host_status.h"
#include "usbhost/host_transfer.h"
#include "usbhost/in_flight.h"
#include "usbhost/kernel_uevents.h"

namespace {

constexpr const char* kSysfsDevices = "/sys/bus/usb/devices";
constexpr const char* kUdevControl = "/run/udev/control";
constexpr DriverHandle kFirstHandle = 0x100;
constexpr uint8_t kInterface = 0;
constexpr unsigned int kQueryTimeoutMs = 1000;
// Without udev the port watches the kernel's events itself, between libusb's.
constexpr long kOwnWatchPassUs = 100000;
// Passes between two scans where not even the kernel's events can be heard.
constexpr int kPassesPerBlindScan = 10;

// libusb's device list, released with its references when done.
class DeviceList {
 public:
  explicit DeviceList(libusb_context* context) {
    const ssize_t count = libusb_get_device_list(context, &list_);
    if (count < 0) {
      error_ = static_cast<int>(count);
      list_ = nullptr;
    } else {
      count_ = static_cast<size_t>(count);
    }
  }
  ~DeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  int Error() const { return error_; }
  libusb_device* const* begin() const { return list_; }
  libusb_device* const* end() const { return list_ ? list_ + count_ : list_; }

 private:
  libusb_device** list_ = nullptr;
  size_t count_ = 0;
  int error_ = 0;
};

// The devices present now: the port's own libusb list where udev keeps it current,
// else a fresh enumeration in a context of its own, on which nothing is ever opened.
class DeviceScan {
 public:
  DeviceScan(libusb_context* shared, bool fresh) {
    if (fresh) {
      if (const int result = libusb_init(&own_); result != LIBUSB_SUCCESS) {
        own_ = nullptr;
        error_ = result;
        return;
      }
    }
    list_.emplace(own_ ? own_ : shared);
    error_ = list_->Error();
  }
  ~DeviceScan() {
    list_.reset();
    if (own_) libusb_exit(own_);
  }
  DeviceScan(const DeviceScan&) = delete;
  DeviceScan& operator=(const DeviceScan&) = delete;

  int Error() const { return error_; }
  const DeviceList& List() const { return *list_; }  // only when Error() is 0

 private:
  libusb_context* own_ = nullptr;
  std::optional<DeviceList> list_;
  int error_ = 0;
};

BusKey KeyOf(const FoundDevice& found) {
  return {found.Bus, found.Address};
}

FoundDevice DescribeDevice(libusb_device* device, const libusb_device_descriptor& descriptor) {
  FoundDevice found;
  found.Bus = libusb_get_bus_number(device);
  found.Address = libusb_get_device_address(device);
  uint8_t ports[8];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  if (depth > 0) found.Ports.assign(ports, ports + depth);
  found.Id = {descriptor.idVendor, descriptor.idProduct};
  return found;
}

bool HasConfiguration(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) return false;
  libusb_free_config_descriptor(config);
  return true;
}

// The USB revision of the root hub above the device: what the bus offers.
uint32_t BusRevisionOf(libusb_device* device) {
  libusb_device* hub = device;
  while (libusb_get_parent(hub) != nullptr) hub = libusb_get_parent(hub);
  libusb_device_descriptor descriptor;
  if (hub == device || libusb_get_device_descriptor(hub, &descriptor) != LIBUSB_SUCCESS) return 0;
  return descriptor.bcdUSB;
}

class PortInterfaceSet : public DeviceInterfaceSet {
 public:
  explicit PortInterfaceSet(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  uint32_t GetInterfacePath(uint32_t index, std::string* path) override {
    if (index >= paths_.size()) return ERROR_NO_MORE_ITEMS;
    if (path) *path = paths_[index];
    return ERROR_SUCCESS;
  }

 private:
  std::vector<std::string> paths_;
};

// One open driver handle.
struct OpenDevice {
  libusb_device_handle* Handle = nullptr;
  int Fd = -1;  // the device node, when the port opened it itself
  FoundDevice Found;
  // Held shared by every request while it uses Handle, exclusively by Close: a
  // request racing the close of its own handle is refused, never sent on a closed one.
  std::shared_mutex Use;
  bool Closed = false;  // under Use
  std::mutex ClaimLock;
  bool Claimed = false;  // under ClaimLock
  std::atomic<bool> Gone{false};
  uint8_t AltSetting = 0;
  uint32_t Speed = 0;  // as the connection-speed request answers
  uint32_t BusRevision = 0;
  std::vector<HostEndpoint> Endpoints;
  InFlightTransfers InFlight;

  const HostEndpoint* FindEndpoint(uint8_t address) const {
    for (const HostEndpoint& endpoint : Endpoints) {
      if (endpoint.Address == address) return &endpoint;
    }
    return nullptr;
  }
  // Data endpoints need the interface; a claim another process held at open may be
  // free by now.
  int EnsureClaimed() {
    std::lock_guard lock(ClaimLock);
    if (Claimed) return LIBUSB_SUCCESS;
    const int result = libusb_claim_interface(Handle, kInterface);
    Claimed = result == LIBUSB_SUCCESS;
    return result;
  }
};

// One request in libusb's hands: what its completion needs.
struct HostRequest {
  std::shared_ptr<OpenDevice> Device;
  TransferRequest Request;
  Overlapped* Record = nullptr;
  std::vector<uint8_t> ControlBuffer;
  InFlightTransfers::Id Id = 0;
};

void CancelTransfer(void* transfer) {
  libusb_cancel_transfer(static_cast<libusb_transfer*>(transfer));
}

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  auto* request = static_cast<HostRequest*>(transfer->user_data);
  std::shared_ptr<OpenDevice> device = std::move(request->Device);
  const InFlightTransfers::Id id = request->Id;
  Overlapped* record = request->Record;
  device->InFlight.Finishing(id);
  const CollectedTransfer result = CollectTransfer(request->Request, *transfer);
  libusb_free_transfer(transfer);
  delete request;
  // The record's completion is the last touch of anything the caller owns; only then
  // may an abort waiting for this transfer return.
  CompleteOverlapped(record, result.Error, result.Bytes);
  device->InFlight.Remove(id);
}

class UsbHostPort : public DriverPort {
 public:
  explicit UsbHostPort(libusb_context* context) : context_(context) {}
  ~UsbHostPort() override;
  UsbHostPort(const UsbHostPort&) = delete;
  UsbHostPort& operator=(const UsbHostPort&) = delete;

  void Start();

  std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid& interfaceClass,
                                                      uint32_t* error) override;
  DriverHandle Open(const std::string& path, uint32_t* error) override;
  bool Close(DriverHandle handle, uint32_t* error) override;
  bool IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                 uint32_t* error) override;
  NotifyHandle RegisterClassNotification(const Guid& interfaceClass,
                                         DeviceNoticeRecipient* recipient,
                                         uint32_t* error) override;
  NotifyHandle RegisterHandleNotification(DriverHandle handle, DeviceNoticeRecipient* recipient,
                                          uint32_t* error) override;
  bool UnregisterNotification(NotifyHandle registration, uint32_t* error) override;

 private:
  struct Plug {
    FoundDevice Found;
    libusb_device* Device = nullptr;  // valid while the list it came from lives
  };
  std::vector<Plug> FindPlugs(const DeviceList& list);
  std::string SerialOf(libusb_device* device, const libusb_device_descriptor& descriptor,
                       const FoundDevice& found);
  std::shared_ptr<OpenDevice> Lookup(DriverHandle handle);
  // Cancels the requests every handle of the device has pending on the endpoint (or on
  // all endpoints) and waits for each of them, as the driver's abort does.
  void CancelOnDevice(const OpenDevice& device, int endpoint);
  bool IsEventThread() const { return std::this_thread::get_id() == eventThread_.load(); }
  InFlightTransfers::PumpFunction PumpIfEventThread();
  void ReadInterface(OpenDevice& device, libusb_device* listed);
  // libusb's handle on the listed device; the device node is opened here and handed
  // to libusb where libusb's own list is not kept current.
  int OpenHandle(libusb_device* listed, OpenDevice& device);
  void TellAccessDenied(const FoundDevice& found);

  // Releases use before it waits for a request without a record.
  bool Transfer(const std::shared_ptr<OpenDevice>& device, std::shared_lock<std::shared_mutex>& use,
                uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                uint32_t* bytesReturned, Overlapped* record, uint32_t* error);
  bool DeviceRequest(OpenDevice& device, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                     uint32_t* error);

  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device,
                                   libusb_hotplug_event event, void* self);
  void RunEvents();
  // Compares the plugs present with those last seen and tells of each that left or came.
  void Rescan();

  libusb_context* const context_;
  std::thread events_;
  std::atomic<std::thread::id> eventThread_{};
  std::atomic<bool> stopping_{false};
  bool hotplug_ = false;
  libusb_hotplug_callback_handle hotplugHandle_ = 0;
  // No udev daemon: libusb's list never changes, so the port enumerates afresh and
  // learns of changes from the kernel's events.
  bool ownWatch_ = false;
  std::unique_ptr<KernelUsbEvents> uevents_;
  std::atomic<bool> rescan_{false};

  std::mutex handlesLock_;
  std::map<DriverHandle, std::shared_ptr<OpenDevice>> handles_;
  DriverHandle nextHandle_ = kFirstHandle;  // never reused: a stale value stays invalid

  // Plugs present as far as the notices go, with their paths, so that a removal can
  // name the path of a device that can no longer be asked. Event thread only.
  std::map<BusKey, std::string> known_;

  std::mutex devicesLock_;
  // Serial numbers read so far, by location and address (a new enumeration gets a new
  // address).
  std::map<std::string, std::string> serials_;
  std::set<std::pair<uint16_t, uint16_t>> accessTold_;

  NoticeRegistry notices_;
};

UsbHostPort::~UsbHostPort() {
  if (hotplug_) libusb_hotplug_deregister_callback(context_, hotplugHandle_);
  // Handles the program left open: their transfers end before the thread that ends
  // them does.
  std::vector<DriverHandle> open;
  {
    std::lock_guard lock(handlesLock_);
    for (const auto& [handle, device] : handles_) open.push_back(handle);
  }
  for (DriverHandle handle : open) Close(handle, nullptr);
  stopping_.store(true);
  libusb_interrupt_event_handler(context_);
  if (events_.joinable()) events_.join();
  libusb_exit(context_);
}

void UsbHostPort::Start() {
  // libusb built on udev hears of devices only from the udev daemon; without one its
  // device list stays as it was at start, and a plug that re-enumerates would be lost.
  ownWatch_ = !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) || access(kUdevControl, F_OK) != 0;
  if (!ownWatch_) {
    const int result = libusb_hotplug_register_callback(
        context_,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, &UsbHostPort::OnHotplug, this, &hotplugHandle_);
    hotplug_ = result == LIBUSB_SUCCESS;
    ownWatch_ = !hotplug_;
  }
  if (ownWatch_) uevents_ = std::make_unique<KernelUsbEvents>();
  // The plugs already present, so that their removal can be named.
  {
    DeviceScan scan(context_, ownWatch_);
    if (scan.Error() == LIBUSB_SUCCESS) {
      for (const Plug& plug : FindPlugs(scan.List())) {
        known_.emplace(KeyOf(plug.Found), HostDevicePath(plug.Found));
      }
    }
  }
  events_ = std::thread([this] { RunEvents(); });
}

void UsbHostPort::RunEvents() {
  eventThread_.store(std::this_thread::get_id());
  int blindPasses = 0;
  while (!stopping_.load()) {
    timeval wait{ownWatch_ ? 0 : 1, ownWatch_ ? kOwnWatchPassUs : 0};
    libusb_handle_events_timeout_completed(context_, &wait, nullptr);
    if (ownWatch_) {
      if (uevents_->Listening()) {
        if (uevents_->Drain()) rescan_.store(true);
      } else if (++blindPasses >= kPassesPerBlindScan) {
        blindPasses = 0;
        rescan_.store(true);
      }
    }
    if (rescan_.exchange(false)) Rescan();
  }
}

InFlightTransfers::PumpFunction UsbHostPort::PumpIfEventThread() {
  if (!IsEventThread()) return {};
  // A recipient of a notice waiting for its own transfers: nobody else completes them.
  return [this] {
    timeval wait{0, 10000};
    libusb_handle_events_timeout_completed(context_, &wait, nullptr);
  };
}

int LIBUSB_CALL UsbHostPort::OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event,
                                       void* self) {
  // Only noted here: libusb's event handling is no place for I/O or for recipients.
  // libusb's list already holds the change when the event comes.
  static_cast<UsbHostPort*>(self)->rescan_.store(true);
  return 0;
}

void UsbHostPort::Rescan() {
  std::map<BusKey, std::string> present;
  {
    DeviceScan scan(context_, ownWatch_);
    if (scan.Error() != LIBUSB_SUCCESS) {
      rescan_.store(true);  // at the next pass
      return;
    }
    for (const Plug& plug : FindPlugs(scan.List())) {
      present.emplace(KeyOf(plug.Found), HostDevicePath(plug.Found));
    }
  }
  std::multimap<BusKey, DriverHandle> open;
  {
    std::lock_guard lock(handlesLock_);
    for (const auto& [handle, device] : handles_) open.emplace(KeyOf(device->Found), handle);
  }
  const std::vector<DeviceNotice> notices = NoticesForChange(known_, present, open);
  for (const DeviceNotice& notice : notices) {
    if (notice.IsInterface) continue;
    if (std::shared_ptr<OpenDevice> device = Lookup(notice.Handle)) device->Gone.store(true);
  }
  known_ = std::move(present);
  notices_.Deliver(notices);
}

std::string UsbHostPort::SerialOf(libusb_device* device, const libusb_device_descriptor& descriptor,
                                  const FoundDevice& found) {
  if (descriptor.iSerialNumber == 0) return {};
  const std::string key = LocationOf(found) + "@" + std::to_string(found.Address);
  {
    std::lock_guard lock(devicesLock_);
    if (auto it = serials_.find(key); it != serials_.end()) return it->second;
  }
  std::string serial = ReadSysfsSerial(kSysfsDevices, found);
  if (serial.empty()) {
    // No sysfs here: ask the device, if we may.
    libusb_device_handle* handle;
    if (libusb_open(device, &handle) == LIBUSB_SUCCESS) {
      unsigned char text[256];
      const int length =
          libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
      if (length > 0) serial.assign(reinterpret_cast<char*>(text), static_cast<size_t>(length));
      libusb_close(handle);
    }
  }
  if (!serial.empty()) {
    std::lock_guard lock(devicesLock_);
    serials_[key] = serial;
  }
  return serial;
}

std::vector<UsbHostPort::Plug> UsbHostPort::FindPlugs(const DeviceList& list) {
  std::vector<FoundDevice> found;
  std::vector<libusb_device*> devices;
  for (libusb_device* device : list) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) continue;
    if (!IsPlugId(descriptor.idVendor, descriptor.idProduct)) continue;
    // The kernel announces a device before it has set its configuration; until it
    // has (its "bind" event), the device cannot be claimed and is not there yet.
    if (ownWatch_ && !HasConfiguration(device)) continue;
    FoundDevice one = DescribeDevice(device, descriptor);
    one.Serial = SerialOf(device, descriptor, one);
    found.push_back(std::move(one));
    devices.push_back(device);
  }
  // Ordered here, and matched back to their libusb devices by location and address.
  std::vector<Plug> plugs;
  for (FoundDevice& one : PlugDevicesInOrder(found)) {
    for (size_t i = 0; i < found.size(); ++i) {
      if (found[i].Bus == one.Bus && found[i].Address == one.Address) {
        plugs.push_back({std::move(one), devices[i]});
        break;
      }
    }
  }
  return plugs;
}

std::unique_ptr<DeviceInterfaceSet> UsbHostPort::GetClassDevices(const Guid& interfaceClass,
                                                                 uint32_t* error) {
  std::vector<std::string> paths;
  if (interfaceClass == PLUG_INTERFACE_CLASS) {
    DeviceScan scan(context_, ownWatch_);
    if (scan.Error() != LIBUSB_SUCCESS) {
      if (error) *error = SystemErrorOf(scan.Error());
      return nullptr;
    }
    for (const Plug& plug : FindPlugs(scan.List())) paths.push_back(HostDevicePath(plug.Found));
  }
  if (error) *error = ERROR_SUCCESS;
  return std::make_unique<PortInterfaceSet>(std::move(paths));
}

void UsbHostPort::TellAccessDenied(const FoundDevice& found) {
  {
    std::lock_guard lock(devicesLock_);
    if (!accessTold_.emplace(found.Id.Vendor, found.Id.Product).second) return;
  }
  const std::u16string text = AccessDeniedText(found.Id, LocationOf(found));
  std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
  ShowMessageBox(nullptr, text, ACCESS_DENIED_CAPTION, MB_OK | MB_ICONEXCLAMATION);
}

void UsbHostPort::ReadInterface(OpenDevice& device, libusb_device* listed) {
  // The setting the device is using; a device that will not say is taken to be in
  // setting 0, where every configuration starts.
  uint8_t setting = 0;
  if (libusb_control_transfer(
          device.Handle, MakeRequestType(true, USB_TYPE_STANDARD, USB_RECIPIENT_INTERFACE),
          USB_REQUEST_GET_INTERFACE, 0, kInterface, &setting, 1, kQueryTimeoutMs) == 1) {
    device.AltSetting = setting;
  }
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(listed, &config) != LIBUSB_SUCCESS) return;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceNumber != kInterface || alt.bAlternateSetting != device.AltSetting) {
        continue;
      }
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = alt.endpoint[e];
        HostEndpoint host;
        host.Address = endpoint.bEndpointAddress;
        host.Type = endpoint.bmAttributes & 3;
        if (host.Type == USB_TRANSFER_ISOCHRONOUS) {
          const int bytes = libusb_get_max_iso_packet_size(listed, host.Address);
          host.IntervalBytes = bytes > 0 ? static_cast<uint32_t>(bytes) : 0;
        }
        device.Endpoints.push_back(host);
      }
    }
  }
  libusb_free_config_descriptor(config);
}

int UsbHostPort::OpenHandle(libusb_device* listed, OpenDevice& device) {
  if (!ownWatch_) return libusb_open(listed, &device.Handle);
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", device.Found.Bus,
                device.Found.Address);
  device.Fd = open(node, O_RDWR | O_CLOEXEC);
  if (device.Fd < 0) {
    if (errno == EACCES || errno == EPERM) return LIBUSB_ERROR_ACCESS;
    return errno == ENOENT || errno == ENODEV ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
  }
  const int result = libusb_wrap_sys_device(context_, device.Fd, &device.Handle);
  if (result != LIBUSB_SUCCESS) {
    close(device.Fd);
    device.Fd = -1;
  }
  return result;
}

DriverHandle UsbHostPort::Open(const std::string& path, uint32_t* error) {
  uint32_t ignored;
  if (!error) error = &ignored;
  DeviceScan scan(context_, ownWatch_);
  if (scan.Error() != LIBUSB_SUCCESS) {
    *error = SystemErrorOf(scan.Error());
    return INVALID_DRIVER_HANDLE;
  }
  std::vector<Plug> plugs = FindPlugs(scan.List());
  auto plug = std::find_if(plugs.begin(), plugs.end(), [&](const Plug& p) {
    return SameDevicePath(HostDevicePath(p.Found), path);
  });
  if (plug == plugs.end()) {
    *error = ERROR_FILE_NOT_FOUND;
    return INVALID_DRIVER_HANDLE;
  }
  auto device = std::make_shared<OpenDevice>();
  device->Found = plug->Found;
  if (const int result = OpenHandle(plug->Device, *device); result != LIBUSB_SUCCESS) {
    if (result == LIBUSB_ERROR_ACCESS) TellAccessDenied(plug->Found);
    *error = SystemErrorOf(result);
    return INVALID_DRIVER_HANDLE;
  }
  device->Speed = DriverSpeedOf(libusb_get_device_speed(plug->Device));
  device->BusRevision = BusRevisionOf(plug->Device);
  // Where libusb cannot detach a kernel driver itself, the claim below says so.
  libusb_set_auto_detach_kernel_driver(device->Handle, 1);
  const int claim = device->EnsureClaimed();
  if (claim != LIBUSB_SUCCESS && claim != LIBUSB_ERROR_BUSY) {
    libusb_close(device->Handle);
    if (device->Fd >= 0) close(device->Fd);
    *error = SystemErrorOf(claim);
    return INVALID_DRIVER_HANDLE;
  }
  ReadInterface(*device, plug->Device);
  std::lock_guard lock(handlesLock_);
  const DriverHandle handle = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(handle, std::move(device));
  *error = ERROR_SUCCESS;
  return handle;
}

std::shared_ptr<OpenDevice> UsbHostPort::Lookup(DriverHandle handle) {
  std::lock_guard lock(handlesLock_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second;
}

void UsbHostPort::CancelOnDevice(const OpenDevice& device, int endpoint) {
  std::vector<std::shared_ptr<OpenDevice>> handles;
  {
    std::lock_guard lock(handlesLock_);
    for (const auto& [handle, open] : handles_) {
      if (KeyOf(open->Found) == KeyOf(device.Found)) handles.push_back(open);
    }
  }
  for (const auto& open : handles) {
    open->InFlight.CancelAndWait(endpoint, CancelTransfer, PumpIfEventThread());
  }
}

bool UsbHostPort::Close(DriverHandle handle, uint32_t* error) {
  std::shared_ptr<OpenDevice> device;
  {
    std::lock_guard lock(handlesLock_);
    auto it = handles_.find(handle);
    if (it != handles_.end()) {
      device = std::move(it->second);
      handles_.erase(it);
    }
  }
  if (!device) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  // Closing a handle cancels what is still pending on it; libusb must not close a
  // handle with transfers in flight.
  std::unique_lock use(device->Use);
  device->Closed = true;
  device->InFlight.CancelAndWait(InFlightTransfers::kAllEndpoints, CancelTransfer,
                                 PumpIfEventThread());
  {
    std::lock_guard lock(device->ClaimLock);
    if (device->Claimed) libusb_release_interface(device->Handle, kInterface);
    device->Claimed = false;
  }
  libusb_close(device->Handle);
  device->Handle = nullptr;
  if (device->Fd >= 0) close(device->Fd);
  device->Fd = -1;
  if (error) *error = ERROR_SUCCESS;
  return true;
}

bool UsbHostPort::IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                            void* out, uint32_t outLength, uint32_t* bytesReturned,
                            Overlapped* record, uint32_t* error) {
  uint32_t ignoredBytes, ignoredError;
  if (!bytesReturned) bytesReturned = &ignoredBytes;
  if (!error) error = &ignoredError;
  *bytesReturned = 0;
  std::shared_ptr<OpenDevice> device = Lookup(handle);
  if (!device) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  std::shared_lock use(device->Use);
  if (device->Closed) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  if (device->Gone.load()) {
    *error = ERROR_DEVICE_NOT_CONNECTED;
    return false;
  }
  if (IsTransferRequest(code)) {
    return Transfer(device, use, code, in, inLength, out, outLength, bytesReturned, record, error);
  }
  return DeviceRequest(*device, code, in, inLength, out, outLength, bytesReturned, record, error);
}

bool UsbHostPort::Transfer(const std::shared_ptr<OpenDevice>& device,
                           std::shared_lock<std::shared_mutex>& use, uint32_t code, const void* in,
                           uint32_t inLength, void* out, uint32_t outLength,
                           uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  auto request = std::make_unique<HostRequest>();
  if (const uint32_t refused =
          DecodeTransferRequest(code, in, inLength, out, outLength, &request->Request);
      refused != ERROR_SUCCESS) {
    *error = refused;
    return false;
  }
  const TransferRequest& r = request->Request;
  const HostEndpoint* endpoint = nullptr;
  if (r.Form != TransferForm::Endpoint0) {
    endpoint = device->FindEndpoint(r.EndpointAddress);
    if (endpoint == nullptr) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (const int claim = device->EnsureClaimed(); claim != LIBUSB_SUCCESS) {
      *error = SystemErrorOf(claim);
      return false;
    }
  }
  const int packets =
      endpoint && endpoint->Type == USB_TRANSFER_ISOCHRONOUS ? static_cast<int>(r.Packets) : 0;
  if (endpoint && packets == 0) request->Request.Records = nullptr;  // only isochronous ones
  libusb_transfer* transfer = libusb_alloc_transfer(packets);
  if (transfer == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  if (const uint32_t refused = PrepareTransfer(r, endpoint, &request->ControlBuffer, transfer);
      refused != ERROR_SUCCESS) {
    libusb_free_transfer(transfer);
    *error = refused;
    return false;
  }

  // A request without a record is waited for here.
  Overlapped ownRecord;
  Event ownEvent(false, false);
  if (record == nullptr) ownRecord.hEvent = &ownEvent;
  Overlapped* used = record ? record : &ownRecord;

  transfer->dev_handle = device->Handle;
  transfer->callback = OnTransferDone;
  transfer->user_data = request.get();
  request->Device = device;
  request->Record = used;
  BeginOverlapped(used);
  InFlightTransfers& inFlight = device->InFlight;
  const InFlightTransfers::Id id = inFlight.Add(r.EndpointAddress, transfer);
  request->Id = id;
  HostRequest* const owned = request.release();  // the completion frees it
  if (const int result = libusb_submit_transfer(transfer); result != LIBUSB_SUCCESS) {
    const HostOutcome outcome = OutcomeOfError(result);
    WriteTransferStatus(owned->Request.Block, outcome.NtStatus, outcome.UsbdStatus);
    inFlight.Remove(id);
    libusb_free_transfer(transfer);
    delete owned;
    *error = outcome.Error;
    return false;
  }
  inFlight.Submitted(id, CancelTransfer);
  use.unlock();  // done with the handle: a close may go ahead
  if (record) {
    *error = ERROR_IO_PENDING;
    return false;
  }
  if (IsEventThread()) {
    while (ownRecord.Status.load() == ERROR_IO_PENDING) {
      timeval wait{0, 10000};
      libusb_handle_events_timeout_completed(context_, &wait, nullptr);
    }
  } else {
    WaitForSingleObject(&ownEvent, INFINITE);
  }
  uint32_t bytes = 0;
  const bool ok = GetOverlappedResult(&ownRecord, &bytes, true, error);
  *bytesReturned = bytes;
  return ok;
}

bool UsbHostPort::DeviceRequest(OpenDevice& device, uint32_t code, const void* in,
                                uint32_t inLength, void* out, uint32_t outLength,
                                uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  auto answer = [&](const void* value, uint32_t size) {
    return AnswerDriverQuery(value, size, out, outLength, bytesReturned, record, error);
  };
  auto refuse = [&](uint32_t why) {
    *error = why;
    return false;
  };
  auto knownEndpoint = [&](uint8_t address) {
    return address == 0 || device.FindEndpoint(address) != nullptr;
  };
  uint8_t word[4];
  switch (code) {
    case IOCTL_GET_DRIVER_REVISION: {
      const libusb_version* version = libusb_get_version();
      PutLe32(word, uint32_t(version->major) << 16 | uint32_t(version->minor) << 8 |
                        uint32_t(version->micro));
      return answer(word, 4);
    }
    case IOCTL_GET_USBDI_REVISION:
      PutLe32(word, device.BusRevision);
      return answer(word, 4);
    case IOCTL_GET_ALT_SETTING:
      return answer(&device.AltSetting, 1);
    case IOCTL_GET_BUS_ADDRESS:
      return answer(&device.Found.Address, 1);
    case IOCTL_GET_SPEED:
      PutLe32(word, device.Speed);
      return answer(word, 4);
    case IOCTL_GET_DEVICE_NAME:
    case IOCTL_GET_FRIENDLY_NAME: {
      char name[256] = {};
      if (code == IOCTL_GET_DEVICE_NAME) {
        std::snprintf(name, sizeof name, "/dev/bus/usb/%03u/%03u", device.Found.Bus,
                      device.Found.Address);
      } else {
        const libusb_version* version = libusb_get_version();
        std::snprintf(name, sizeof name, "USB device %s at %s (libusb %u.%u.%u)",
                      FormatPlugId(device.Found.Id).c_str(), LocationOf(device.Found).c_str(),
                      version->major, version->minor, version->micro);
      }
      return answer(name, std::min<uint32_t>(outLength, sizeof name));
    }
    case IOCTL_RESTART_DEVICE: {
      CancelOnDevice(device, InFlightTransfers::kAllEndpoints);
      const int result = libusb_reset_device(device.Handle);
      if (result != LIBUSB_SUCCESS) return refuse(SystemErrorOf(result));
      return answer(nullptr, 0);
    }
    case IOCTL_ABORT_ENDPOINT: {
      uint8_t address;
      if (DecodeEndpointRequest(in, inLength, &address) != ERROR_SUCCESS ||
          !knownEndpoint(address)) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      CancelOnDevice(device, address);
      return answer(nullptr, 0);
    }
    case IOCTL_RESET_ENDPOINT: {
      uint8_t address;
      if (DecodeEndpointRequest(in, inLength, &address) != ERROR_SUCCESS ||
          !knownEndpoint(address)) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      if (address != 0) {
        int result = device.EnsureClaimed();
        if (result == LIBUSB_SUCCESS) result = libusb_clear_halt(device.Handle, address);
        if (result != LIBUSB_SUCCESS) return refuse(SystemErrorOf(result));
      }
      return answer(nullptr, 0);
    }
    case IOCTL_SET_TRANSFER_SIZE: {
      uint8_t address;
      uint32_t size;
      if (DecodeTransferSizeRequest(in, inLength, &address, &size) != ERROR_SUCCESS ||
          device.FindEndpoint(address) == nullptr) {
        return refuse(ERROR_INVALID_PARAMETER);
      }
      // libusb splits and sizes transfers itself; the size is accepted and kept nowhere.
      uint8_t block[TRANSFER_SIZE_BLOCK_SIZE];
      WriteTransferSizeBlock(address, size, block);
      return answer(block, out ? TRANSFER_SIZE_BLOCK_SIZE : 0);
    }
    default:
      return refuse(ERROR_INVALID_PARAMETER);
  }
}

NotifyHandle UsbHostPort::RegisterClassNotification(const Guid& interfaceClass,
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

NotifyHandle UsbHostPort::RegisterHandleNotification(DriverHandle handle,
                                                     DeviceNoticeRecipient* recipient,
                                                     uint32_t* error) {
  if (recipient == nullptr || !Lookup(handle)) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return NO_NOTIFY_HANDLE;
  }
  if (error) *error = ERROR_SUCCESS;
  return notices_.RegisterHandle(handle, recipient);
}

bool UsbHostPort::UnregisterNotification(NotifyHandle registration, uint32_t* error) {
  const bool found = notices_.Unregister(registration, IsEventThread());
  if (error) *error = found ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  return found;
}

}  // namespace

std::unique_ptr<DriverPort> CreateUsbHostPort(std::string* error) {
  libusb_context* context = nullptr;
  if (const int result = libusb_init(&context); result != LIBUSB_SUCCESS) {
    if (error) {
      *error = "libusb could not start: ";
      *error += libusb_strerror(result);
    }
    return nullptr;
  }
  auto port = std::make_unique<UsbHostPort>(context);
  port->Start();
  return port;
}

std::u16string AccessDeniedText(PlugId id, std::string_view location) {
  return Format16(
      "This user may not open the USB device %s at %.*s.\n"
      "Install the udev rule %.*s (cmake --install does; a plug added with --plug-id needs "
      "its own line in it), reload the rules with \"udevadm control --reload\" and plug the "
      "device in again.",
      FormatPlugId(id).c_str(), static_cast<int>(location.size()), location.data(),
      static_cast<int>(UDEV_RULE_FILE.size()), UDEV_RULE_FILE.data());
}
