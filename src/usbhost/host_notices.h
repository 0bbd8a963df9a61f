// Who asked for arrival and removal notices, and their delivery. Notices are handed
// out on the backend's event thread, outside libusb's event handling, so a recipient
// may call back into the port (though it should only forward the notice).
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
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

// A device while it stays on the bus, by bus number and address: every enumeration
// gets a new address, so a plug that re-enumerated is another device.
using BusKey = std::pair<uint8_t, uint8_t>;

// The notices for the plugs present changing from `before` to `now` (device paths by
// key): for each plug gone, a notice to each of its open handles, then its interface's
// removal; after all removals, an arrival for each new plug.
std::vector<DeviceNotice> NoticesForChange(const std::map<BusKey, std::string>& before,
                                           const std::map<BusKey, std::string>& now,
                                           const std::multimap<BusKey, DriverHandle>& handles);
