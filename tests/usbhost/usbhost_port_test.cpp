// The port's parts that need no plug: the notices of a change, the access message and
// its rule, and a port started and stopped on whatever bus this machine has.
#include "usbhost/usbhost_port.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/notice_recorder.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "protocol/device_path.h"
#include "usb/usb_device.h"
#include "usbhost/host_notices.h"

namespace {

TEST(HostNotices, AChangeOfPlugsTellsHandlesThenRemovalsThenArrivals) {
  // Plug A re-enumerated (same bus, new address) under two open handles, B stayed,
  // C left with none open, D is new.
  const std::map<BusKey, std::string> before = {{{1, 2}, "A"}, {{1, 3}, "B"}, {{2, 4}, "C"}};
  const std::map<BusKey, std::string> now = {{{1, 3}, "B"}, {{1, 5}, "A"}, {{2, 6}, "D"}};
  const std::multimap<BusKey, DriverHandle> handles = {
      {{1, 2}, 0x100}, {{1, 3}, 0x104}, {{1, 2}, 0x108}};
  const std::vector<DeviceNotice> notices = NoticesForChange(before, now, handles);
  const std::vector<DeviceNotice> wanted = {HandleNotice(0x100),
                                            HandleNotice(0x108),
                                            InterfaceNotice(DBT_DEVICEREMOVECOMPLETE, "A"),
                                            InterfaceNotice(DBT_DEVICEREMOVECOMPLETE, "C"),
                                            InterfaceNotice(DBT_DEVICEARRIVAL, "A"),
                                            InterfaceNotice(DBT_DEVICEARRIVAL, "D")};
  ASSERT_EQ(notices.size(), wanted.size());
  for (size_t i = 0; i < wanted.size(); ++i) {
    EXPECT_EQ(notices[i].Event, wanted[i].Event) << i;
    EXPECT_EQ(notices[i].IsInterface, wanted[i].IsInterface) << i;
    EXPECT_EQ(notices[i].Path, wanted[i].Path) << i;
    EXPECT_EQ(notices[i].Handle, wanted[i].Handle) << i;
  }
  EXPECT_TRUE(NoticesForChange(now, now, handles).empty());
}

TEST(UsbHostAccess, TheMessageAndTheInstalledRuleNameTheSamePlug) {
  const std::string text = Utf16ToUtf8(AccessDeniedText({PLUG_VENDOR_ID, PLUG_PRODUCT_ID}, "1-2"));
  EXPECT_NE(text.find(std::string(UDEV_RULE_FILE)), std::string::npos) << text;
  EXPECT_NE(text.find(FormatPlugId({PLUG_VENDOR_ID, PLUG_PRODUCT_ID})), std::string::npos);
  EXPECT_NE(text.find("1-2"), std::string::npos);

  // The rule gives the plug's own ids to the user at the seat.
  std::ifstream rule(TARNWICK_UDEV_RULE);
  ASSERT_TRUE(rule) << TARNWICK_UDEV_RULE;
  EXPECT_NE(std::string(TARNWICK_UDEV_RULE).find(std::string(UDEV_RULE_FILE)), std::string::npos);
  const std::string id = FormatPlugId({PLUG_VENDOR_ID, PLUG_PRODUCT_ID});
  const std::string vendor = "ATTR{idVendor}==\"" + id.substr(0, 4) + "\"";
  const std::string product = "ATTR{idProduct}==\"" + id.substr(5) + "\"";
  bool found = false;
  for (std::string line; std::getline(rule, line);) {
    if (line.empty() || line[0] == '#') continue;
    found = found ||
            (line.find(vendor) != std::string::npos && line.find(product) != std::string::npos &&
             line.find("TAG+=\"uaccess\"") != std::string::npos);
  }
  EXPECT_TRUE(found);
}

TEST(UsbHostPort, StartsListsRefusesUnknownsAndStops) {
  std::string error;
  std::unique_ptr<DriverPort> port = CreateUsbHostPort(&error);
  if (!port) GTEST_SKIP() << "libusb cannot start here: " << error;
  uint32_t code = 0;
  auto other = port->GetClassDevices(Guid{}, &code);
  ASSERT_NE(other, nullptr);
  std::string path;
  EXPECT_EQ(other->GetInterfacePath(0, &path), ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(port->Open(PlugDevicePath("no-such-plug"), &code), INVALID_DRIVER_HANDLE);
  EXPECT_EQ(code, ERROR_FILE_NOT_FOUND);
  uint8_t word[4];
  EXPECT_FALSE(port->IoControl(0x100, IOCTL_GET_SPEED, word, 4, word, 4, nullptr, nullptr, &code));
  EXPECT_EQ(code, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(port->Close(0x100, &code));
  NoticeRecorder window;
  EXPECT_EQ(port->RegisterHandleNotification(0x100, &window, &code), NO_NOTIFY_HANDLE);
  const NotifyHandle registration =
      port->RegisterClassNotification(PLUG_INTERFACE_CLASS, &window, &code);
  EXPECT_NE(registration, NO_NOTIFY_HANDLE);

  // The device object sees exactly the plugs the set lists.
  SetDriverPort(port.get());
  {
    auto plugs = port->GetClassDevices(PLUG_INTERFACE_CLASS, &code);
    ASSERT_NE(plugs, nullptr);
    uint32_t listed = 0;
    while (plugs->GetInterfacePath(listed, &path) == ERROR_SUCCESS) ++listed;
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    EXPECT_EQ(device.CountDevices(), listed);
    EXPECT_FALSE(device.Open(static_cast<uint8_t>(listed)));
  }
  SetDriverPort(nullptr);
  EXPECT_TRUE(port->UnregisterNotification(registration, &code));
  port.reset();  // the event thread ends
}

}  // namespace
