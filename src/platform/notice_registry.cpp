#include "platform/notice_registry.h"

NotifyHandle NoticeRegistry::Register(bool isClass, DriverHandle handle,
                                      DeviceNoticeRecipient* recipient) {
  std::lock_guard lock(lock_);
  registrations_.push_back({++nextId_, isClass, handle, recipient});
  return nextId_;
}

NotifyHandle NoticeRegistry::RegisterClass(DeviceNoticeRecipient* recipient) {
  return Register(true, INVALID_DRIVER_HANDLE, recipient);
}

NotifyHandle NoticeRegistry::RegisterHandle(DriverHandle handle, DeviceNoticeRecipient* recipient) {
  return Register(false, handle, recipient);
}

bool NoticeRegistry::Unregister(NotifyHandle registration, bool onDeliveringThread) {
  std::unique_lock<std::mutex> delivery;
  if (!onDeliveringThread) delivery = std::unique_lock(deliveryLock_);
  std::lock_guard lock(lock_);
  return std::erase_if(registrations_,
                       [&](const Registration& r) { return r.Id == registration; }) != 0;
}

DeviceNoticeRecipient* NoticeRegistry::RecipientOf(NotifyHandle id) {
  std::lock_guard lock(lock_);
  for (const Registration& r : registrations_) {
    if (r.Id == id) return r.Recipient;
  }
  return nullptr;
}

void NoticeRegistry::Deliver(const std::vector<DeviceNotice>& notices) {
  std::lock_guard delivery(deliveryLock_);
  DeliverHeld(notices);
}

void NoticeRegistry::Post(const std::vector<DeviceNotice>& notices) {
  std::lock_guard lock(lock_);
  queue_.insert(queue_.end(), notices.begin(), notices.end());
}

void NoticeRegistry::DeliverPosted() {
  // Taking the queue under the delivery lock keeps notices in the order posted even
  // when two threads deliver.
  std::lock_guard delivery(deliveryLock_);
  std::vector<DeviceNotice> notices;
  {
    std::lock_guard lock(lock_);
    notices.swap(queue_);
  }
  DeliverHeld(notices);
}

void NoticeRegistry::DeliverHeld(const std::vector<DeviceNotice>& notices) {
  for (const DeviceNotice& notice : notices) {
    // By id, looked up again before each call: a recipient may unregister itself or
    // another registration meanwhile.
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
      if (DeviceNoticeRecipient* recipient = RecipientOf(id)) recipient->OnDeviceNotice(notice);
    }
  }
}
