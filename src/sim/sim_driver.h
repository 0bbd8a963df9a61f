// The virtual driver: a driver-port backend that hosts simulated loopback plugs on
// a virtual bus. It answers the program's driver requests the way the plug's real
// driver does (request blocks, read-back rules, overlapped completion, abort, reset,
// re-enumeration and device notices) and injects the faults the options ask for.
// Its parts: the handle table, the shared request decoder (protocol/), the bus
// scheduler and its thread, the fault injector, the notices, and the standard
// requests a device controller answers for the firmware model it hosts.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/driver_port.h"
#include "platform/notice_registry.h"
#include "protocol/request_decoder.h"
#include "sim/bus_scheduler.h"
#include "sim/handle_table.h"
#include "sim/sim_options.h"
#include "sim/sim_plug.h"

class alignas(64) SimDriverPort : public DriverPort, public OverlappedFinisher {
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
  // A timed transfer that is next on its endpoint and due within a short while is
  // completed by its waiter; longer waits stay with the bus thread, so that an abort
  // or a removal reaches a waiter no later than that.
  void FinishOnWaiter(Overlapped* record, uint64_t deadlineNs) override;
  static constexpr uint64_t kLongestWaiterFinishNs = 2'000'000;

  // For tests and the tool's own diagnostics.
  uint32_t PlugCount() const;
  std::string PlugPath(uint32_t plug) const;
  bool PlugPresent(uint32_t plug) const;
  uint32_t PendingRequests(uint32_t plug) const;  // transfers waiting in the driver
  // Data bytes of the bulk and isochronous transfers that completed without error.
  uint64_t MovedBytes(uint32_t plug) const;
  // Takes a plug off the bus now; with comeBackMs > 0 it returns that much later.
  void UnplugNow(uint32_t plug, uint32_t comeBackMs);

 private:
  class InterfaceSet;

  bool DeviceRequest(SimPlug& plug, uint32_t code, const void* in, uint32_t inLength, void* out,
                     uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                     uint32_t* error);
  bool Transfer(uint32_t plugIndex, SimPlug& plug, uint32_t generation, DriverHandle handle,
                uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                uint32_t* bytesReturned, Overlapped* record, uint32_t* error);
  bool Ep0Transfer(SimPlug& plug, const TransferRequest& request, uint32_t* bytesReturned,
                   Overlapped* record, uint32_t* error);
  // One pass of the bus thread: plugs leaving and returning, due transfers, notices.
  uint64_t BusStep(uint64_t now);
  void TakeOffBus(uint32_t index, uint64_t now, std::vector<DeviceNotice>* notices);
  void BringBack(uint32_t index, std::vector<DeviceNotice>* notices);

  // Read by every request, kept together in the object's first cache line (the
  // handle table leads with its lock-free part).
  bool unlimited_ = false;
  bool anyFaults_ = false;
  std::vector<std::unique_ptr<SimPlug>> plugs_;
  HandleTable handles_;
  SimOptions options_;
  NoticeRegistry notices_;
  BusThread bus_;
};
