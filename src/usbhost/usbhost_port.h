// The driver port for real plugs: libusb-1.0 carries the program's driver requests
// to the USB devices whose ids are in the plug id list.
//
// What the program sees is what the simulated driver gives it: the present plugs as
// device-interface paths in a stable order; a handle per open that claims interface 0
// (detaching a kernel driver bound to it); endpoint-0, buffered and direct transfers
// as libusb control, bulk, interrupt and isochronous transfers, finished with the
// statuses and packet records the program reads back; abort, endpoint reset, device
// restart, and the driver's queries; arrival and removal notices from libusb's
// hotplug events, or, where no udev daemon feeds those, from the kernel's own uevents
// with a fresh enumeration each time (device nodes then opened here and handed to
// libusb). One thread handles libusb's events and completes every request.
//
// A device that another process (another copy of the tool) has claimed still opens:
// endpoint 0 works, which is all the discovery and the plug's requests need; its data
// endpoints answer ERROR_BUSY until the claim is free.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "platform/driver_port.h"
#include "protocol/plug_ids.h"

// The udev rule that lets a logged-in user open the plugs (res/linux/, installed into
// lib/udev/rules.d by cmake --install).
constexpr std::string_view UDEV_RULE_FILE = "70-tarnwick.rules";

// nullptr with *error set when libusb cannot start.
std::unique_ptr<DriverPort> CreateUsbHostPort(std::string* error);

// What the user is told, once per id, when a plug's device node is not theirs to open.
std::u16string AccessDeniedText(PlugId id, std::string_view location);
constexpr std::u16string_view ACCESS_DENIED_CAPTION = u"No access to the USB plug";
