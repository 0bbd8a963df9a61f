// The virtual driver: a driver-port backend that hosts simulated loopback plugs on
// a virtual bus. It answers the program's driver requests the way the plug's real
// driver does (request blocks, read-back rules, overlapped completion, abort, reset,
// re-enumeration and device notices) and injects the faults the options ask for.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver_port.h"
#include "sim/sim_options.h"

// Statuses the virtual driver writes into request blocks.
constexpr uint32_t SIM_NTSTATUS_UNSUCCESSFUL = 0xC0000001;
constexpr uint32_t SIM_NTSTATUS_CANCELLED = 0xC0000120;
constexpr uint32_t SIM_NTSTATUS_DEVICE_GONE = 0xC000009D;
constexpr uint32_t SIM_USBD_STATUS_CRC = 0xC0000001;
constexpr uint32_t SIM_USBD_STATUS_STALL = 0xC0000004;
constexpr uint32_t SIM_USBD_STATUS_CANCELED = 0xC0010000;
constexpr uint32_t SIM_USBD_STATUS_DEVICE_GONE = 0xC0007000;

// Default link rate in MB/s (2^20 bytes per second) for a speed code and direction.
double DefaultLinkRate(uint8_t speed, bool in);

// "\\?\usb#vid_1209&pid_000a#<serial>#{05fc6c39-ecc3-4441-89c9-ec9884c41116}"
std::string SimDevicePath(const std::string& serial);

class alignas(64) SimDriverPort : public DriverPort {
 public:
  explicit SimDriverPort(const SimOptions& options);
  ~SimDriverPort() override;
  SimDriverPort(const SimDriverPort&) = delete;
  SimDriverPort& operator=(const SimDriverPort&) = delete;

  std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid& interfaceClass,
                                                      uint32_t* error) override;
  DriverHandle Open(const std::string& path, uint32_t* error) override;
  bool Close(DriverHandle handle, uint32_t* error) override;
  bool IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                 uint32_t* error) override;
  // Notices come on the driver's bus thread, which also completes transfers when a
  // rate is set: a recipient forwards them and does no I/O there.
  NotifyHandle RegisterClassNotification(const Guid& interfaceClass,
                                         DeviceNoticeRecipient* recipient,
                                         uint32_t* error) override;
  NotifyHandle RegisterHandleNotification(DriverHandle handle, DeviceNoticeRecipient* recipient,
                                          uint32_t* error) override;
  bool UnregisterNotification(NotifyHandle registration, uint32_t* error) override;

  // For tests and the tool's own diagnostics.
  uint32_t PlugCount() const;
  std::string PlugPath(uint32_t plug) const;
  bool PlugPresent(uint32_t plug) const;
  uint32_t PendingRequests(uint32_t plug) const;  // transfers waiting in the driver
  // Takes a plug off the bus now; with comeBackMs > 0 it returns that much later.
  void UnplugNow(uint32_t plug, uint32_t comeBackMs);

  struct Plug;
  struct Pending;

 private:
  struct Registration;
  class InterfaceSet;

  bool Transfer(Plug& plug, uint32_t generation, DriverHandle handle, uint32_t code, const void* in,
                uint32_t inLength, void* out, uint32_t outLength, uint32_t* bytesReturned,
                Overlapped* record, uint32_t* error);
  bool Ep0Transfer(Plug& plug, uint8_t* block, uint32_t length, uint32_t* bytesReturned,
                   Overlapped* record, uint32_t* error);
  void BusThread();
  void Wake();
  void DeliverNotices();

  // Read by every request, kept together at the start of the object.
  bool unlimited_ = false;
  bool anyFaults_ = false;
  // Handles are looked up on every request without a lock: one packed word per slot
  // (open bit, plug, plug generation), written under handlesLock_.
  static constexpr uint32_t kMaxHandles = 4096;
  bool LookupHandle(DriverHandle handle, uint32_t* plug, uint32_t* generation) const;
  std::atomic<uint32_t> handleSlots_{0};
  std::unique_ptr<std::atomic<uint64_t>[]> handles_;
  std::vector<std::unique_ptr<Plug>> plugs_;
  std::mutex handlesLock_;
  SimOptions options_;

  std::mutex notifyLock_;    // the registration table
  std::mutex deliveryLock_;  // held while notices are being delivered
  std::vector<Registration> registrations_;
  NotifyHandle nextRegistration_ = 0;
  std::vector<DeviceNotice> noticeQueue_;  // guarded by notifyLock_

  std::mutex busLock_;
  std::condition_variable busWake_;
  bool busWoken_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<std::thread::id> busThreadId_{};
  std::thread busThread_;
};
