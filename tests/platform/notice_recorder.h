// A recipient that keeps the notices it was given, and the notices tests hand out.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/driver_port.h"

struct NoticeRecorder : DeviceNoticeRecipient {
  std::vector<DeviceNotice> Seen;
  std::function<void()> OnNotice;
  void OnDeviceNotice(const DeviceNotice& notice) override {
    Seen.push_back(notice);
    if (OnNotice) OnNotice();
  }
};

inline DeviceNotice InterfaceNotice(uint32_t event, std::string path) {
  DeviceNotice n;
  n.Event = event;
  n.IsInterface = true;
  n.Path = std::move(path);
  return n;
}

inline DeviceNotice HandleNotice(DriverHandle handle) {
  DeviceNotice n;
  n.Event = DBT_DEVICEREMOVECOMPLETE;
  n.Handle = handle;
  return n;
}
