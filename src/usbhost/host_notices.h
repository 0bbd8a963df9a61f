// Who asked for arrival and removal notices, and their delivery. Notices are handed
// out on the backend's event thread, outside libusb's event handling, so a recipient
// may call back into the port (though it should only forward the notice).
#pragma once
#include <mutex>
#include <vector>

#include "platform/driver_port.h"

class HostNotices {
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

 private:
  struct Registration {
    NotifyHandle Id = NO_NOTIFY_HANDLE;
    bool IsClass = true;
    DriverHandle Handle = INVALID_DRIVER_HANDLE;
    DeviceNoticeRecipient* Recipient = nullptr;
  };
  DeviceNoticeRecipient* RecipientOf(NotifyHandle id);

  std::mutex lock_;          // the registrations
  std::mutex deliveryLock_;  // held while notices are being delivered
  std::vector<Registration> registrations_;
  NotifyHandle nextId_ = 0;
};
