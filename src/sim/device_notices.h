// Arrival and removal notices of the virtual driver: who registered for them, and
// their delivery on the bus thread. Notices are queued under the plug locks and
// delivered later without any, so a recipient may call back into the driver.
#pragma once
#include <mutex>
#include <vector>

#include "platform/driver_port.h"

class DeviceNotices {
 public:
  NotifyHandle RegisterClass(DeviceNoticeRecipient* recipient);
  NotifyHandle RegisterHandle(DriverHandle handle, DeviceNoticeRecipient* recipient);
  // Once this returns no notice reaches the registration any more. Outside the
  // delivering thread it waits for a delivery in progress to finish; on that thread
  // (a recipient unregistering) it must not.
  bool Unregister(NotifyHandle registration, bool onDeliveringThread);

  void Post(const std::vector<DeviceNotice>& notices);
  // Hands every posted notice to its recipients.
  void Deliver();

 private:
  struct Registration {
    NotifyHandle Id = NO_NOTIFY_HANDLE;
    bool IsClass = true;
    DriverHandle Handle = INVALID_DRIVER_HANDLE;
    DeviceNoticeRecipient* Recipient = nullptr;
  };

  std::mutex lock_;          // the registrations and the queue
  std::mutex deliveryLock_;  // held while notices are being delivered
  std::vector<Registration> registrations_;
  NotifyHandle nextId_ = 0;
  std::vector<DeviceNotice> queue_;
};
