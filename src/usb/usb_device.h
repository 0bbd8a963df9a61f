// The program's handle on one device bound to the plug controller's driver: counts
// the devices of the driver's interface class, opens one by number, reads and parses
// its descriptors, selects the setting the driver reports as current and publishes
// that setting's endpoints. Every driver call goes through the driver port.
//
// The object owns what Open builds: the raw sets, the parsed configurations (and
// through them every setting and endpoint), the BOS information and endpoint 0.
// EndpointTable, ControlEndpoint and the six endpoint shortcuts are borrowed views;
// they die with the next CloseDevice or Open.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/driver_port.h"
#include "platform/guid.h"
#include "usb/descriptor_tree.h"
#include "usb/usb_endpoint.h"

class UsbDevice {
 public:
  // notifyWindow may be null (no notices); with openFlag set, opens device 0.
  UsbDevice(DeviceNoticeRecipient* notifyWindow, const Guid& interfaceGuid, bool openFlag);
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  bool Open(uint8_t deviceNumber);
  // Releases everything Open built and closes the driver handle. When the platform
  // refuses to release the handle registration or to close the handle, the object is
  // left as it was at that point, LastErrorCode holds the system error and
  // CloseErrorText() names the failure; the result is then false. Nothing is thrown:
  // no caller could handle it and the destructor runs this too.
  bool CloseDevice();
  uint8_t CountDevices();
  bool RestartDevice();
  uint8_t CountEndpoints();
  void CopyConfigDescriptor(uint8_t* out9);
  void CopyInterfaceDescriptor(uint8_t* out9);
  // One synchronous driver request with buffer as input and output; true only when
  // the platform call succeeds and returns exactly length bytes.
  bool SendDeviceRequest(uint32_t code, void* buffer, uint32_t length);
  // The failure text of the last CloseDevice that could not close, or nullptr.
  const char16_t* CloseErrorText() const { return CloseError; }

  UsbEndpoint** EndpointTable = nullptr;  // the selected setting's Endpoints; not owned
  std::unique_ptr<UsbBosInfo> BosInfo;
  UsbEndpoint* IsocInEndpoint = nullptr;
  UsbEndpoint* IsocOutEndpoint = nullptr;
  UsbEndpoint* BulkInEndpoint = nullptr;
  UsbEndpoint* BulkOutEndpoint = nullptr;
  UsbControlEndpoint* ControlEndpoint = nullptr;  // borrowed view of controlEndpoint_
  UsbEndpoint* InterruptInEndpoint = nullptr;
  UsbEndpoint* InterruptOutEndpoint = nullptr;
  uint16_t LanguageId = 0;
  uint32_t LastErrorCode = 0;
  uint32_t DescUsbdStatus = 0;
  uint32_t DescNtStatus = 0;
  uint32_t DriverRevision = 0;
  uint32_t UsbdiRevision = 0;
  char DriverDeviceName[256] = {};
  char DriverFriendlyName[256] = {};
  char16_t ManufacturerText[256] = {};
  char16_t ProductText[256] = {};
  char16_t SerialNumberText[256] = {};
  char DevicePath[256] = {};
  uint16_t bcdUSB = 0;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint8_t BusAddress = 0;
  uint8_t bDeviceClass = 0;
  uint8_t bDeviceSubClass = 0;
  uint8_t bDeviceProtocol = 0;
  uint32_t Ep0PacketSize = 0;
  uint16_t bcdDevice = 0;
  uint8_t bConfigurationValue = 0;
  uint8_t bmAttributes = 0;
  uint8_t bMaxPower = 0;
  uint8_t bInterfaceClass = 0;
  uint8_t bInterfaceSubClass = 0;
  uint8_t bInterfaceProtocol = 0;
  bool IsHighSpeed = false;
  bool IsSuperSpeed = false;
  uint32_t BytesReturned = 0;
  uint8_t DeviceDescriptor[18] = {};
  std::array<std::vector<uint8_t>, 2> RawConfig;  // empty = not read
  std::vector<uint8_t> RawBos;                    // empty = not read
  std::array<std::unique_ptr<UsbConfiguration>, 2> Configs;
  DeviceNoticeRecipient* NotifyWindow = nullptr;
  DriverHandle DeviceHandle = INVALID_DRIVER_HANDLE;
  NotifyHandle ClassNotifyHandle = NO_NOTIFY_HANDLE;
  NotifyHandle HandleNotifyHandle = NO_NOTIFY_HANDLE;
  Guid InterfaceGuid;
  uint8_t PresentCount = 0;
  uint8_t InterfaceCount = 0;
  uint8_t AltSettingCount = 0;
  uint8_t ConfigurationCount = 0;
  uint8_t OpenedIndex = 0;
  uint8_t ConfigIndex = 0;
  uint8_t ActiveInterfaceNumber = 0;
  uint8_t AltIndex = 0;

 private:
  bool OpenDriverHandle(uint8_t deviceNumber);
  bool ReadDescriptor(uint16_t value, uint16_t index, uint16_t length, std::vector<uint8_t>* data,
                      bool updateNtStatus);
  bool ReadDescriptorSet(uint16_t value, uint16_t index, uint16_t headerLength, bool totalIsWord,
                         std::vector<uint8_t>* data, bool updateNtStatus);
  void ReadDeviceDescriptor();
  void ChooseLanguage();
  void ReadStringText(uint8_t stringIndex, std::span<char16_t> text);
  void QueryDriver();
  void SelectSetting();
  void PublishEndpoints(UsbAltInterface* setting);
  void ReleaseTree();
  bool FailMalformed(const char16_t* text, const char16_t* caption);

  const char16_t* CloseError = nullptr;
  // Endpoint 0, shared by every setting: created by Open, shown as ControlEndpoint and
  // in entry 0 of the selected setting, released by CloseDevice. Its only owner.
  std::unique_ptr<UsbControlEndpoint> controlEndpoint_;
};
