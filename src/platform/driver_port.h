// The boundary between the program and whatever carries its driver requests to a
// device: a simulated bus of loopback plugs, or real plugs through libusb. It keeps
// the behaviour the USB classes rely on from the device set-up interface, from device
// I/O control with overlapped completion, and from device notifications. Request
// codes and block layouts belong to the program (protocol/driver_requests.h), not here.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/guid.h"
#include "platform/overlapped.h"

using DriverHandle = intptr_t;
constexpr DriverHandle INVALID_DRIVER_HANDLE = -1;  // all bits set, as the program compares

using NotifyHandle = uint64_t;  // 0 = no registration
constexpr NotifyHandle NO_NOTIFY_HANDLE = 0;

// Device-change notices, named after the events the program distinguishes.
constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;

struct DeviceNotice {
  uint32_t Event = 0;                           // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
  bool IsInterface = false;                     // true: a device-interface notice carrying Path
  std::string Path;                             // device-interface path (interface notices)
  DriverHandle Handle = INVALID_DRIVER_HANDLE;  // the open handle (handle notices)
};

// Whoever the application names as recipient; notices may arrive on any thread, and
// the recipient forwards them to its own thread if it needs to.
class DeviceNoticeRecipient {
 public:
  virtual ~DeviceNoticeRecipient() = default;
  virtual void OnDeviceNotice(const DeviceNotice& notice) = 0;
};

// A snapshot of the present device interfaces of one class.
class DeviceInterfaceSet {
 public:
  virtual ~DeviceInterfaceSet() = default;
  // 0 and the path; ERROR_NO_MORE_ITEMS (259) past the last one; another system
  // error for an index that cannot be read.
  virtual uint32_t GetInterfacePath(uint32_t index, std::string* path) = 0;
};

class DriverPort {
 public:
  virtual ~DriverPort() = default;

  // The present interfaces of a class, or nullptr with *error set.
  virtual std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid& interfaceClass,
                                                              uint32_t* error) = 0;
  // Opens a device path for overlapped I/O; INVALID_DRIVER_HANDLE with *error on failure.
  virtual DriverHandle Open(const std::string& path, uint32_t* error) = 0;
  virtual bool Close(DriverHandle handle, uint32_t* error) = 0;

  // One I/O-control request. Without a record the call completes before it returns.
  // With a record: true when it completed at once, false with ERROR_IO_PENDING when it
  // will complete later, false with another error when it was refused. In both
  // accepted cases the record is completed as the contract below says.
  // in and out may be the same buffer; either may be null with length 0.
  //
  // Completion contract, which every backend keeps and the USB classes rely on:
  //  - BeginOverlapped(record) before the request can complete, that is before it is
  //    queued or handed to another thread (it marks the record in flight and clears
  //    the record's event).
  //  - Exactly one CompleteOverlapped(record, ...) per accepted request, after
  //    everything the caller will read is written: the request block's status words,
  //    the data, the packet records.
  //  - CompleteOverlapped is the backend's last touch of the request: it signals the
  //    event and then makes the result visible, and from that moment the caller may
  //    free or reuse the record, its event, the request block and the data buffer
  //    (a caller that collects the result without waiting does exactly that). After
  //    it, the backend reads and writes none of them, not even to log or to count.
  virtual bool IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength,
                         void* out, uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                         uint32_t* error) = 0;
  // Two requests end others, and every backend waits for what it ends: the USB classes
  // free their request blocks and records as soon as these return.
  //  - Abort (the endpoint abort request): cancels every transfer pending on that
  //    endpoint of the device, whichever handle sent it, and completes only once each
  //    of them has completed (record completed, event set). Transfers sent after the
  //    abort began are not its concern. A backend whose cancellation is asynchronous
  //    keeps its in-flight transfers per endpoint and waits for those it cancelled.
  //  - Close: the same for every transfer still pending on the handle, before the
  //    handle is gone.

  virtual NotifyHandle RegisterClassNotification(const Guid& interfaceClass,
                                                 DeviceNoticeRecipient* recipient,
                                                 uint32_t* error) = 0;
  virtual NotifyHandle RegisterHandleNotification(DriverHandle handle,
                                                  DeviceNoticeRecipient* recipient,
                                                  uint32_t* error) = 0;
  virtual bool UnregisterNotification(NotifyHandle registration, uint32_t* error) = 0;
};

// A backend's answer to a query request (revisions, names, speed, address): value is
// copied out when it fits, and a given record is completed at once, as the contract
// above says. False with ERROR_INSUFFICIENT_BUFFER when out cannot take it.
bool AnswerDriverQuery(const void* value, uint32_t size, void* out, uint32_t outLength,
                       uint32_t* bytesReturned, Overlapped* record, uint32_t* error);

// The port chosen at start-up. With none installed, GetDriverPort() answers with a
// port that has no devices and refuses every request.
DriverPort& GetDriverPort();
void SetDriverPort(DriverPort* port);  // not owned; nullptr restores the empty port
