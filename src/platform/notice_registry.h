// Who asked a driver backend for arrival and removal notices, and their delivery: the
// part every backend shares. A backend delivers on its own thread, outside its locks,
// so a recipient may call back into the port (though it should only forward the notice).
#pragma once
#include <mutex>
#include <vector>

#include "platform/driver_port.h"

class NoticeRegistry {
 public:
  NotifyHandle RegisterClass(DeviceNoticeRecipient* recipient);
  NotifyHandle RegisterHandle(DriverHandle handle, DeviceNoticeRecipient* recipient);
  // Once this returns no notice reaches the registration any more: off the delivering
  // thread it waits for a delivery in progress; on it (a recipient unregistering) it
  // must not and need not.
  bool Unregister(NotifyHandle registration, bool onDeliveringThread);

  // Interface notices go to every class registration, handle notices to the
  // registrations of their handle, in the order given.
  void Deliver(const std::vector<DeviceNotice>& notices);
  // For a backend that learns of changes under its own locks: queue them there, and
  // deliver what was queued later, with none held.
  void Post(const std::vector<DeviceNotice>& notices);
  void DeliverPosted();

 private:
  struct Registration {
    NotifyHandle Id = NO_NOTIFY_HANDLE;
    bool IsClass = true;
    DriverHandle Handle = INVALID_DRIVER_HANDLE;
    DeviceNoticeRecipient* Recipient = nullptr;
  };
  NotifyHandle Register(bool isClass, DriverHandle handle, DeviceNoticeRecipient* recipient);
  DeviceNoticeRecipient* RecipientOf(NotifyHandle id);
  void DeliverHeld(const std::vector<DeviceNotice>& notices);  // deliveryLock_ held

  std::mutex lock_;          // the registrations and the queue
  std::mutex deliveryLock_;  // held while notices are being delivered
  std::vector<Registration> registrations_;
  NotifyHandle nextId_ = 0;
  std::vector<DeviceNotice> queue_;
};
