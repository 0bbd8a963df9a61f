// What a change of the plugs present means as notices. They are handed out on the
// backend's event thread, outside libusb's event handling.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/driver_port.h"

// A device while it stays on the bus, by bus number and address: every enumeration
// gets a new address, so a plug that re-enumerated is another device.
using BusKey = std::pair<uint8_t, uint8_t>;

// The notices for the plugs present changing from `before` to `now` (device paths by
// key): for each plug gone, a notice to each of its open handles, then its interface's
// removal; after all removals, an arrival for each new plug.
std::vector<DeviceNotice> NoticesForChange(const std::map<BusKey, std::string>& before,
                                           const std::map<BusKey, std::string>& now,
                                           const std::multimap<BusKey, DriverHandle>& handles);
