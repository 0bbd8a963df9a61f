#include "sim/device_notices.h"

#include <algorithm>

NotifyHandle DeviceNotices::RegisterClass(DeviceNoticeRecipient* recipient) {
  std::lock_guard lock(lock_);
  registrations_.push_back({++nextId_, true, INVALID_DRIVER_HANDLE, recipient});
  return nextId_;
}

NotifyHandle DeviceNotices::RegisterHandle(DriverHandle handle, DeviceNoticeRecipient* recipient) {
  std::lock_guard lock(lock_);
  registrations_.push_back({++nextId_, false, handle, recipient});
  return nextId_;
}

bool DeviceNotices::Unregister(NotifyHandle registration, bool onDeliveringThread) {
  std::unique_lock<std::mutex> delivery;
  if (!onDeliveringThread) delivery = std::unique_lock(deliveryLock_);
  std::lock_guard lock(lock_);
  auto it = std::find_if(registrations_.begin(), registrations_.end(),
                         [&](const Registration& r) { return r.Id == registration; });
  if (it == registrations_.end()) return false;
  registrations_.erase(it);
  return true;
}

void DeviceNotices::Post(const std::vector<DeviceNotice>& notices) {
  if (notices.empty()) return;
  std::lock_guard lock(lock_);
  queue_.insert(queue_.end(), notices.begin(), notices.end());
}

void DeviceNotices::Deliver() {
  std::lock_guard delivery(deliveryLock_);
  std::vector<DeviceNotice> notices;
  {
    std::lock_guard lock(lock_);
    notices.swap(queue_);
  }
  for (const DeviceNotice& notice : notices) {
    // Walk by id so that a recipient may unregister (itself or others) meanwhile.
    std::vector<NotifyHandle> ids;
    {
      std::lock_guard lock(lock_);
      for (const Registration& r : registrations_) {
        if (notice.IsInterface ? r.IsClass : (!r.IsClass && r.Handle == notice.Handle)) {
          ids.push_back(r.Id);
        }
      }
    }
    for (NotifyHandle id : ids) {
      DeviceNoticeRecipient* recipient = nullptr;
      {
        std::lock_guard lock(lock_);
        for (const Registration& r : registrations_) {
          if (r.Id == id) recipient = r.Recipient;
        }
      }
      if (recipient) recipient->OnDeviceNotice(notice);
    }
  }
}
