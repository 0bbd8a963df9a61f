#include "usbhost/kernel_uevents.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A kernel uevent as it comes off the socket: items separated by NULs.
std::string Message(std::initializer_list<const char*> items) {
  std::string message;
  for (const char* item : items) {
    message += item;
    message += '\0';
  }
  return message;
}

TEST(KernelUevents, OnlyUsbDevicesComingOrGoingCount) {
  const char* device = "DEVTYPE=usb_device";
  const char* usb = "SUBSYSTEM=usb";
  struct Case {
    std::string Message;
    bool Counts;
  } cases[] = {
      {Message({"add@/devices/platform/dummy_hcd.0/usb2/2-1", "ACTION=add", usb, device}), true},
      {Message({"remove@/devices/pci0000:00/usb1/1-2", "ACTION=remove", device, usb}), true},
      {Message({"bind@/devices/usb2/2-1", usb, device, "DRIVER=usb"}), true},
      // An interface of the device, a change, an unbind, another subsystem: no.
      {Message({"add@/devices/usb2/2-1/2-1:1.0", usb, "DEVTYPE=usb_interface"}), false},
      {Message({"change@/devices/usb2/2-1", usb, device}), false},
      {Message({"unbind@/devices/usb2/2-1", usb, device}), false},
      {Message({"add@/devices/virtual/block/loop0", "SUBSYSTEM=block", device}), false},
      // Values must match whole, and the header alone is no item.
      {Message({"add@/devices/usb2/2-1", "SUBSYSTEM=usbmisc", device}), false},
      {Message({"add@SUBSYSTEM=usb", device}), false},
      {"add@/devices/usb2/2-1", false},
      {"", false},
      // No NUL at the end of the last item.
      {Message({"remove@/x", usb}) + device, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUsbDeviceUevent(c.Message.data(), c.Message.size()), c.Counts)
        << c.Message.substr(0, c.Message.find('\0'));
  }
}

}  // namespace
