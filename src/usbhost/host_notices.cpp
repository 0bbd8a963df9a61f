#include "usbhost/host_notices.h"

#include <algorithm>

NotifyHandle HostNotices::RegisterClass(DeviceNoticeRecipient* recipient) {
  std::lock_guard lock(lock_);
  registrations_.push_back({++nextId_, true, INVALID_DRIVER_HANDLE, recipient});
  return nextId_;
}

NotifyHandle HostNotices::RegisterHandle(DriverHandle handle, DeviceNoticeRecipient* recipient) {
  std::lock_guard lock(lock_);
  registrations_.push_back({++nextId_, false, handle, recipient});
  return nextId_;
}

bool HostNotices::Unregister(NotifyHandle registration, bool onDeliveringThread) {
  std::unique_lock<std::mutex> delivery;
  if (!onDeliveringThread) delivery = std::unique_lock(deliveryLock_);
  std::lock_guard lock(lock_);
  return std::erase_if(registrations_,
                       [&](const Registration& r) { return r.Id == registration; }) != 0;
}

DeviceNoticeRecipient* HostNotices::RecipientOf(NotifyHandle id) {
  std::lock_guard lock(lock_);
  for (const Registration& r : registrations_) {
    if (r.Id == id) return r.Recipient;
  }
  return nullptr;
}

void HostNotices::Deliver(const std::vector<DeviceNotice>& notices) {
  std::lock_guard delivery(deliveryLock_);
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

std::vector<DeviceNotice> NoticesForChange(const std::map<BusKey, std::string>& before,
                                           const std::map<BusKey, std::string>& now,
                                           const std::multimap<BusKey, DriverHandle>& handles) {
  std::vector<DeviceNotice> notices;
  for (const auto& [key, path] : before) {
    if (now.count(key)) continue;
    // A handle's owner hears first, as the system tells it before the interface's.
    const auto [first, last] = handles.equal_range(key);
    for (auto it = first; it != last; ++it) {
      DeviceNotice notice;
      notice.Event = DBT_DEVICEREMOVECOMPLETE;
      notice.Handle = it->second;
      notices.push_back(notice);
    }
    DeviceNotice removal;
    removal.Event = DBT_DEVICEREMOVECOMPLETE;
    removal.IsInterface = true;
    removal.Path = path;
    notices.push_back(removal);
  }
  for (const auto& [key, path] : now) {
    if (before.count(key)) continue;
    DeviceNotice arrival;
    arrival.Event = DBT_DEVICEARRIVAL;
    arrival.IsInterface = true;
    arrival.Path = path;
    notices.push_back(arrival);
  }
  return notices;
}
