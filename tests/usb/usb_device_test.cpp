#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/message_box.h"
#include "platform/win_error.h"
#include "protocol/plug_ids.h"
#include "usb/descriptor_sets.h"
#include "usb/fake_port.h"

namespace {
using namespace TestDescriptors;

struct NoticeSink : DeviceNoticeRecipient {
  void OnDeviceNotice(const DeviceNotice& notice) override { Notices.push_back(notice); }
  std::vector<DeviceNotice> Notices;
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.Paths = {"\\\\?\\usb#vid_1209&pid_000a#0001"};
    port.DeviceDescriptor = Device(0x0300, 9, 1);
    // Interface 0: setting 0 bulk pair with companions, setting 1 isochronous and
    // interrupt endpoints.
    port.ConfigSets[0] =
        Config(1, {Interface(0, 0, 2, 0xFF), Endpoint(0x01, 2, 1024), Companion(15, 0),
                   Endpoint(0x81, 2, 1024), Companion(15, 0), Interface(0, 1, 4, 0xFE),
                   Endpoint(0x83, 1, 1024), Companion(15, 2), Endpoint(0x03, 1, 1024),
                   Companion(0, 0), Endpoint(0x84, 3, 64), Endpoint(0x85, 3, 64)});
    port.BosSet = Bos({Usb20Extension(0x1E), SuperSpeedCapability(), ContainerId(0)});
    port.StringSets[0] = Languages({0x0409});
    port.StringSets[1] = String(u"Maker");
    port.StringSets[2] = String(u"Plug");
    port.StringSets[3] = String(u"SN0042");
    port.Speed = DRIVER_SPEED_SUPER;
    SetMessageBoxHandler(
        [this](void* owner, std::u16string_view text, std::u16string_view caption, uint32_t flags) {
          shown.push_back(std::u16string(text) + u"|" + std::u16string(caption));
          EXPECT_EQ(owner, nullptr);
          EXPECT_EQ(flags, MB_OK);
          return IDOK;
        });
  }
  void TearDown() override { SetMessageBoxHandler({}); }

  // Whether a GET_DESCRIPTOR with this wValue was sent.
  bool Requested(uint16_t wValue) {
    for (const auto& r : port.RequestsWithCode(IOCTL_EP0_TRANSFER)) {
      if (ReadDriverTransferBlock(r.Input.data()).wValue == wValue) return true;
    }
    return false;
  }

  FakePort port;
  std::vector<std::u16string> shown;  // text|caption of each message box
};

TEST_F(DeviceTest, OpenReadsEverythingAndPublishesTheCurrentSetting) {
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_EQ(device.idVendor, 0x1209);
  EXPECT_EQ(device.idProduct, 0x000A);
  EXPECT_EQ(device.bcdDevice, 0x1234);
  EXPECT_EQ(device.Ep0PacketSize, 512u);
  EXPECT_EQ(device.ConfigurationCount, 1);
  EXPECT_EQ(device.LanguageId, 0x0409);
  EXPECT_EQ(std::u16string(device.ManufacturerText), u"Maker");
  EXPECT_EQ(std::u16string(device.ProductText), u"Plug");
  EXPECT_EQ(std::u16string(device.SerialNumberText), u"SN0042");
  EXPECT_EQ(device.BusAddress, 5);
  EXPECT_STREQ(device.DriverDeviceName, "fake-device");
  EXPECT_STREQ(device.DriverFriendlyName, "Fake Device");
  EXPECT_EQ(device.DriverRevision, 0x00010203u);
  EXPECT_EQ(device.UsbdiRevision, 0x600u);
  ASSERT_NE(device.BosInfo, nullptr);
  EXPECT_EQ(device.RawBos, port.BosSet);
  EXPECT_EQ(device.RawConfig[0], port.ConfigSets[0]);

  EXPECT_EQ(device.AltIndex, 0);
  EXPECT_EQ(device.AltSettingCount, 2);
  EXPECT_EQ(device.InterfaceCount, 1);
  EXPECT_EQ(device.bInterfaceClass, 0xFF);
  ASSERT_EQ(device.CountEndpoints(), 3);
  EXPECT_EQ(device.EndpointTable, device.Configs[0]->AltSettings[0]->Endpoints);
  ASSERT_NE(device.ControlEndpoint, nullptr);
  EXPECT_EQ(device.EndpointTable[0], device.ControlEndpoint);
  EXPECT_EQ(device.ControlEndpoint->MaxPacketSize, 512);
  EXPECT_EQ(device.BulkOutEndpoint, device.EndpointTable[1]);
  EXPECT_EQ(device.BulkInEndpoint, device.EndpointTable[2]);
  EXPECT_EQ(device.BulkInEndpoint->MaxPacketSize, 16384);  // SuperSpeed form
  EXPECT_EQ(device.IsocInEndpoint, nullptr);

  // Every descriptor read is a synchronous standard GET_DESCRIPTOR with a 5 s time-out;
  // the variable-length ones are read in two steps, header first.
  struct Read {
    uint16_t wValue, wIndex, wLength;
  };
  const uint16_t bosTotal = uint16_t(port.BosSet.size());
  const uint16_t total = uint16_t(port.ConfigSets[0].size());
  const Read expected[] = {{0x0100, 0, 18},      {0x0300, 0, 2},        {0x0300, 0, 4},
                           {0x0301, 0x0409, 2},  {0x0301, 0x0409, 12},  {0x0302, 0x0409, 2},
                           {0x0302, 0x0409, 10}, {0x0303, 0x0409, 2},   {0x0303, 0x0409, 14},
                           {0x0F00, 0, 5},       {0x0F00, 0, bosTotal}, {0x0200, 0, 9},
                           {0x0200, 0, total}};
  const auto requests = port.RequestsWithCode(IOCTL_EP0_TRANSFER);
  ASSERT_EQ(requests.size(), std::size(expected));
  for (size_t i = 0; i < requests.size(); ++i) {
    const Read& e = expected[i];
    const auto& r = requests[i];
    EXPECT_FALSE(r.Overlapped);
    EXPECT_EQ(r.OutLength, 38u + e.wLength);
    EXPECT_EQ(Bytes(r.Input.begin(), r.Input.begin() + 38), BlockBytes({.bmRequestType = 0x80,
                                                                        .bRequest = 6,
                                                                        .wValue = e.wValue,
                                                                        .wIndex = e.wIndex,
                                                                        .wLength = e.wLength,
                                                                        .Timeout = 5,
                                                                        .BufferOffset = 38,
                                                                        .BufferLength = e.wLength}))
        << "read " << i;
  }
}

TEST_F(DeviceTest, SpeedFlagsAndTheUsbTwoForm) {
  port.DeviceDescriptor = Device(0x0210, 64, 1);
  port.Speed = DRIVER_SPEED_HIGH;
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_FALSE(Requested(0x0F00));  // the BOS is read from USB 3 devices only
  EXPECT_EQ(device.BosInfo, nullptr);
  EXPECT_EQ(device.Ep0PacketSize, 64u);
  EXPECT_EQ(device.BulkInEndpoint->MaxPacketSize, 1024);  // companions not applied
  EXPECT_TRUE(device.IsHighSpeed);
  EXPECT_FALSE(device.IsSuperSpeed);

  port.Speed = 3;
  ASSERT_TRUE(device.Open(0));
  EXPECT_FALSE(device.IsHighSpeed);
  EXPECT_FALSE(device.IsSuperSpeed);

  // Failed driver queries leave zeros, not the previous device's values.
  port.Speed = DRIVER_SPEED_SUPER;
  for (uint32_t code :
       {IOCTL_GET_SPEED, IOCTL_GET_BUS_ADDRESS, IOCTL_GET_DRIVER_REVISION, IOCTL_GET_DEVICE_NAME}) {
    port.FailCodes[code] = ERROR_GEN_FAILURE;
  }
  port.ShortCodes.insert(IOCTL_GET_USBDI_REVISION);
  ASSERT_TRUE(device.Open(0));
  EXPECT_FALSE(device.IsSuperSpeed);
  EXPECT_EQ(device.BusAddress, 0);
  EXPECT_EQ(device.DriverRevision, 0u);
  EXPECT_EQ(device.UsbdiRevision, 0u);
  EXPECT_STREQ(device.DriverDeviceName, "");
  EXPECT_EQ(device.LastErrorCode, ERROR_GEN_FAILURE);
}

TEST_F(DeviceTest, LanguageChoice) {
  const std::pair<Bytes, uint16_t> cases[] = {{Languages({0x0407, 0x0409}), 0x0409},
                                              {Languages({0x0407}), 0x0407},
                                              {Languages({0x0411, 0x0407}), 0x0411},
                                              {Languages({}), 0},
                                              {{}, 0x1234}};  // no table: left as it was
  for (const auto& [table, language] : cases) {
    if (table.empty())
      port.StringSets.erase(0);
    else
      port.StringSets[0] = table;
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    device.LanguageId = 0x1234;
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(device.LanguageId, language) << ::testing::PrintToString(table);
  }
}

TEST_F(DeviceTest, StringTexts) {
  // Serial index 0 reads the language table into the text.
  port.DeviceDescriptor = Device(0x0300, 9, 1, 1, 2, 0);
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(std::u16string(device.SerialNumberText), std::u16string(1, char16_t(0x0409)));

  // A failed or unusable read keeps the previous device's text.
  port.StringSets.erase(1);
  port.StringSets[2] = {2, 3};  // bLength 2: no text
  port.StringSets[3] = String(u"SN9");
  port.DeviceDescriptor = Device(0x0300, 9, 1);
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(std::u16string(device.ManufacturerText), u"Maker");
  EXPECT_EQ(std::u16string(device.ProductText), u"Plug");
  EXPECT_EQ(std::u16string(device.SerialNumberText), u"SN9");  // shorter text fully replaced

  // The longest a descriptor can carry stays terminated.
  Bytes longest(255, 'A');
  longest[0] = 255;
  longest[1] = 3;
  port.StringSets[3] = longest;
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(device.SerialNumberText[125], char16_t('A' | 'A' << 8));
  EXPECT_EQ(device.SerialNumberText[126], char16_t('A'));
  EXPECT_EQ(device.SerialNumberText[127], 0);
}

TEST_F(DeviceTest, DriverReportedSettingIsSelected) {
  port.AltSetting = 1;
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(device.AltIndex, 1);
  EXPECT_EQ(device.EndpointTable, device.Configs[0]->AltSettings[1]->Endpoints);
  EXPECT_EQ(device.bInterfaceClass, 0xFE);
  ASSERT_EQ(device.CountEndpoints(), 5);
  EXPECT_EQ(device.IsocInEndpoint->bEndpointAddress, 0x83);
  EXPECT_EQ(device.IsocInEndpoint->MaxPacketSize, 49152);
  EXPECT_EQ(device.IsocOutEndpoint->bEndpointAddress, 0x03);
  EXPECT_EQ(device.InterruptInEndpoint->bEndpointAddress, 0x84);  // the first one
  EXPECT_EQ(device.InterruptOutEndpoint, nullptr);
  EXPECT_EQ(device.BulkInEndpoint, nullptr);
  uint8_t descriptor[9];
  device.CopyInterfaceDescriptor(descriptor);
  EXPECT_EQ(Bytes(descriptor, descriptor + 9), Interface(0, 1, 4, 0xFE));
  device.CopyConfigDescriptor(descriptor);
  EXPECT_EQ(Bytes(descriptor, descriptor + 9),
            Bytes(port.ConfigSets[0].begin(), port.ConfigSets[0].begin() + 9));

  // No setting matches, or the request fails (setting 255): nothing is published,
  // and nothing stale either.
  for (int setting : {7, -1}) {
    port.AltSetting = setting;
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(device.EndpointTable, nullptr);
    EXPECT_EQ(device.CountEndpoints(), 0);
  }
}

TEST_F(DeviceTest, CloseDeviceReleasesAndKeepsWhatItShould) {
  NoticeSink sink;
  UsbDevice device(&sink, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(port.RegistrationCount(), 2u);
  EXPECT_TRUE(device.CloseDevice());
  EXPECT_EQ(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_EQ(device.HandleNotifyHandle, NO_NOTIFY_HANDLE);
  EXPECT_EQ(port.OpenHandleCount(), 0u);
  EXPECT_EQ(port.RegistrationCount(), 1u);
  EXPECT_EQ(device.CountEndpoints(), 0);
  EXPECT_EQ(device.ControlEndpoint, nullptr);
  EXPECT_EQ(device.BulkInEndpoint, nullptr);
  EXPECT_EQ(device.BulkOutEndpoint, nullptr);
  EXPECT_EQ(device.EndpointTable, nullptr);
  EXPECT_EQ(device.BosInfo, nullptr);
  EXPECT_EQ(device.Configs[0], nullptr);
  EXPECT_TRUE(device.RawConfig[0].empty());
  EXPECT_EQ(device.ConfigurationCount, 0);
  EXPECT_EQ(device.DeviceDescriptor[0], 0);
  // Identity stays for the caller to show.
  EXPECT_EQ(std::u16string(device.SerialNumberText), u"SN0042");
  EXPECT_EQ(device.idVendor, 0x1209);
  EXPECT_TRUE(device.CloseDevice());  // twice is harmless
}

TEST_F(DeviceTest, NoticesAndRegistrations) {
  {
    NoticeSink sink;
    UsbDevice device(&sink, PLUG_INTERFACE_CLASS, true);  // opens device 0
    ASSERT_NE(device.HandleNotifyHandle, NO_NOTIFY_HANDLE);
    DeviceNotice arrival;
    arrival.Event = DBT_DEVICEARRIVAL;
    arrival.IsInterface = true;
    arrival.Path = port.Paths[0];
    port.SendNotice(arrival);
    DeviceNotice removal;
    removal.Event = DBT_DEVICEREMOVECOMPLETE;
    removal.Handle = device.DeviceHandle;
    port.SendNotice(removal);
    ASSERT_EQ(sink.Notices.size(), 2u);
    EXPECT_EQ(sink.Notices[1].Handle, removal.Handle);
    device.CloseDevice();
    port.SendNotice(removal);  // the handle registration ended with the handle
    EXPECT_EQ(sink.Notices.size(), 2u);
    ASSERT_TRUE(device.Open(0));
  }
  EXPECT_EQ(port.RegistrationCount(), 0u);  // destruction releases everything
  EXPECT_EQ(port.OpenHandleCount(), 0u);

  port.ClassNotifyError = ERROR_ACCESS_DENIED;
  NoticeSink sink;
  UsbDevice device(&sink, PLUG_INTERFACE_CLASS, false);
  EXPECT_EQ(device.LastErrorCode, ERROR_ACCESS_DENIED);
  ASSERT_TRUE(device.Open(0));  // still usable, without notices
  EXPECT_EQ(device.HandleNotifyHandle, NO_NOTIFY_HANDLE);
}

TEST_F(DeviceTest, CloseFailuresAreReportedNotThrown) {
  NoticeSink sink;
  UsbDevice device(&sink, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  port.UnregisterError = ERROR_INVALID_PARAMETER;
  EXPECT_FALSE(device.CloseDevice());
  EXPECT_EQ(device.LastErrorCode, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(std::u16string(device.CloseErrorText()),
            u"Failed to close the handle notification handle.");
  EXPECT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_EQ(device.CountEndpoints(), 3);  // left as it was

  port.UnregisterError = 0;
  port.CloseError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(device.CloseDevice());
  EXPECT_EQ(device.LastErrorCode, ERROR_ACCESS_DENIED);
  EXPECT_EQ(std::u16string(device.CloseErrorText()), u"Failed to close handle to driver.");
  // A re-open cannot build over a handle it could not close.
  EXPECT_FALSE(device.Open(0));
  EXPECT_EQ(device.CountEndpoints(), 3);
  port.CloseError = 0;
  EXPECT_TRUE(device.CloseDevice());
  EXPECT_EQ(device.CloseErrorText(), nullptr);
  port.CloseError = ERROR_ACCESS_DENIED;
  ASSERT_TRUE(device.Open(0));
  // The destructor cannot close either; the tree still goes (the leak checker would say).
}

TEST_F(DeviceTest, MalformedSetsEndOpenWithTheirMessage) {
  port.ConfigSets[0][2] = uint8_t(port.ConfigSets[0][2] - 3);  // ends inside a descriptor
  port.ConfigSets[0].resize(port.ConfigSets[0][2]);
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  EXPECT_FALSE(device.Open(0));
  EXPECT_EQ(shown, std::vector<std::u16string>{
                       u"Please correct firmware descriptor table|Wrong Device Configuration"});
  EXPECT_EQ(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_EQ(port.OpenHandleCount(), 0u);
  EXPECT_EQ(device.CountEndpoints(), 0);

  port.BosSet[5] = 0;
  port.ClearRequests();
  shown.clear();
  EXPECT_FALSE(device.Open(0));
  EXPECT_EQ(shown, std::vector<std::u16string>{
                       u"Please correct firmware BOS descriptor table|Wrong BOS Descriptor"});
  EXPECT_EQ(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_FALSE(Requested(0x0200));  // the BOS ends Open before the configurations
}

TEST_F(DeviceTest, OnlyTwoConfigurationsAreRead) {
  port.DeviceDescriptor = Device(0x0300, 9, 3);
  port.ConfigSets[1] = Config(1, {Interface(0, 0, 0)}, 2);
  port.ConfigSets[2] = Config(1, {Interface(0, 0, 0)}, 3);
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(device.ConfigurationCount, 3);
  EXPECT_TRUE(Requested(0x0201));
  EXPECT_FALSE(Requested(0x0202));
  ASSERT_NE(device.Configs[1], nullptr);
  EXPECT_EQ(device.Configs[1]->bConfigurationValue, 2);
  EXPECT_EQ(device.bConfigurationValue, 1);  // index 0 is the one selected
}

TEST_F(DeviceTest, OpenWithoutAUsableConfigurationKeepsTheHandle) {
  port.DeviceDescriptor.clear();  // the device descriptor cannot be read
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  EXPECT_FALSE(device.Open(0));
  EXPECT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  EXPECT_EQ(device.ConfigurationCount, 0);
  EXPECT_FALSE(Requested(0x0200));
  EXPECT_EQ(device.CountEndpoints(), 0);
  ASSERT_NE(device.ControlEndpoint, nullptr);  // released by CloseDevice, not a setting
  EXPECT_TRUE(device.CloseDevice());

  port.DeviceDescriptor = Device(0x0300, 9, 1);
  port.ConfigSets[0] = Config(0, {});
  EXPECT_FALSE(device.Open(0));
  EXPECT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  // The usual retry: restart, then open once more.
  EXPECT_TRUE(device.RestartDevice());
  auto restart = port.RequestsWithCode(IOCTL_RESTART_DEVICE);
  ASSERT_EQ(restart.size(), 1u);
  EXPECT_EQ(restart[0].InLength, 0u);
}

TEST_F(DeviceTest, CountingAndChoosingDevices) {
  port.Paths.clear();
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  device.LastErrorCode = 1234;
  EXPECT_EQ(device.CountDevices(), 0);
  EXPECT_FALSE(device.Open(0));
  EXPECT_EQ(device.LastErrorCode, 1234u);
  EXPECT_TRUE(port.Requests().empty());
  EXPECT_EQ(device.DevicePath[0], '\0');

  port.Paths = {"a", "b", "c"};
  port.PathErrors[1] = ERROR_GEN_FAILURE;  // an unreadable entry is skipped
  EXPECT_EQ(device.CountDevices(), 2);
  EXPECT_EQ(device.PresentCount, 2);
  EXPECT_FALSE(device.Open(1));
  port.PathErrors.clear();
  ASSERT_TRUE(device.Open(2));
  EXPECT_EQ(device.OpenedIndex, 2);
  EXPECT_STREQ(device.DevicePath, "c");

  port.OpenError = ERROR_SHARING_VIOLATION;
  EXPECT_FALSE(device.Open(0));
  EXPECT_EQ(device.LastErrorCode, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  port.ClassDevicesError = ERROR_GEN_FAILURE;
  EXPECT_EQ(device.CountDevices(), 0);
}

TEST_F(DeviceTest, DeviceRequests) {
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
  device.LastErrorCode = 77;
  device.BytesReturned = 88;
  uint8_t word[4];
  EXPECT_FALSE(device.SendDeviceRequest(IOCTL_GET_SPEED, word, 4));  // closed
  EXPECT_TRUE(port.Requests().empty());
  EXPECT_EQ(device.LastErrorCode, 77u);
  EXPECT_EQ(device.BytesReturned, 88u);

  ASSERT_TRUE(device.Open(0));
  device.LastErrorCode = 77;
  port.ShortCodes.insert(IOCTL_GET_SPEED);  // one byte short: a failure, but no error
  EXPECT_FALSE(device.SendDeviceRequest(IOCTL_GET_SPEED, word, 4));
  EXPECT_EQ(device.BytesReturned, 3u);
  EXPECT_EQ(device.LastErrorCode, 77u);
  port.FailCodes[IOCTL_GET_SPEED] = ERROR_BAD_COMMAND;
  EXPECT_FALSE(device.SendDeviceRequest(IOCTL_GET_SPEED, word, 4));
  EXPECT_EQ(device.LastErrorCode, ERROR_BAD_COMMAND);
  auto last = port.RequestsWithCode(IOCTL_GET_SPEED).back();
  EXPECT_FALSE(last.Overlapped);
  EXPECT_EQ(last.InLength, 4u);
  EXPECT_EQ(last.OutLength, 4u);
}

}  // namespace
