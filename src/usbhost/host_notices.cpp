#include "usbhost/host_notices.h"

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
