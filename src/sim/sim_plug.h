// One simulated plug on the virtual bus: the firmware model it hosts and what the
// transport keeps beside it, as a device controller's stack would: presence on the
// bus, endpoint halts, the descriptors it serves, and the requests waiting for the
// plug or for bus time.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "firmware/plug_model.h"
#include "platform/driver_port.h"
#include "platform/overlapped.h"
#include "platform/win_error.h"
#include "protocol/request_decoder.h"
#include "protocol/status_words.h"
#include "sim/fault_injector.h"

// How a transfer ended: the system error for its record and the two block statuses.
struct TransferOutcome {
  uint32_t Error = ERROR_SUCCESS;
  uint32_t NtStatus = 0;
  uint32_t UsbdStatus = 0;
};
inline constexpr TransferOutcome kTransferDone{};
inline constexpr TransferOutcome kTransferStalled{ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL,
                                                  USBD_STATUS_STALL_PID};
inline constexpr TransferOutcome kTransferBusError{ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL,
                                                   USBD_STATUS_CRC};
inline constexpr TransferOutcome kTransferCancelled{ERROR_OPERATION_ABORTED, NTSTATUS_CANCELLED,
                                                    USBD_STATUS_CANCELED};
inline constexpr TransferOutcome kTransferDeviceGone{
    ERROR_DEVICE_NOT_CONNECTED, NTSTATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

// A data transfer the driver has accepted: the decoded request (its block, data and
// packet records) and how far it has come.
struct PendingTransfer : TransferRequest {
  Overlapped* Record = nullptr;
  DriverHandle Handle = INVALID_DRIVER_HANDLE;
  uint32_t Done = 0;
  uint64_t SubmitNs = 0;
  uint64_t DueNs = 0;
  bool Scheduled = false;
  bool Ended = false;    // its data has moved; it completes with Outcome once due
  bool Awaited = false;  // the thread waiting for it completes it: the bus thread need not
  TransferOutcome Outcome;
  Fault Injected = Fault::None;
  bool Lost = false;  // a failing IN transfer has lost the data it would have carried
  uint32_t Cut = 0;   // a short read: the bytes cut off its length
};

struct EndpointQueue {
  std::deque<PendingTransfer> Items;
  uint64_t BusyUntilNs = 0;
};

// Endpoint halt, one bit per endpoint slot. A device controller keeps it, not the
// firmware: a stall sets it, a reset or a new enumeration clears it.
class EndpointHalts {
 public:
  bool IsHalted(uint8_t address) const { return (bits_ >> EndpointSlot(address)) & 1; }
  void Set(uint8_t address, bool halted) {
    const uint32_t bit = 1u << EndpointSlot(address);
    bits_ = halted ? (bits_ | bit) : (bits_ & ~bit);
  }
  void ClearAll() { bits_ = 0; }

 private:
  uint32_t bits_ = 0;
};

// The descriptor sets the plug's controller serves at the current speed.
struct ServedDescriptors {
  std::vector<uint8_t> Device;
  std::vector<uint8_t> Configuration;
  std::vector<uint8_t> Bos;  // empty below SuperSpeed
};

struct alignas(64) SimPlug {
  // Touched by every transfer.
  mutable std::mutex Lock;
  std::unique_ptr<PlugModel> Model;
  uint32_t Busy = 0;  // one bit per non-empty queue
  EndpointHalts Halts;
  uint32_t Generation = 1;
  bool Present = true;
  bool Gone = false;  // removed for good
  uint32_t InTransfers = 0, OutTransfers = 0;
  uint64_t MovedBytes = 0;

  uint8_t BusAddress = 1;
  std::string Serial, Path;
  ServedDescriptors Descriptors;
  std::array<EndpointQueue, 32> Queues;
  uint64_t LeaveAtNs = 0, ReturnAtNs = 0, RemoveAtNs = 0;
  std::mt19937 Random;
};
