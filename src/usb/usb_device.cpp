#include "usb/usb_device.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "platform/message_box.h"
#include "platform/win_error.h"
#include "protocol/driver_requests.h"

namespace {
constexpr char16_t kBosMalformedText[] = u"Please correct firmware BOS descriptor table";
constexpr char16_t kBosMalformedCaption[] = u"Wrong BOS Descriptor";
constexpr char16_t kConfigMalformedText[] = u"Please correct firmware descriptor table";
constexpr char16_t kConfigMalformedCaption[] = u"Wrong Device Configuration";
constexpr char16_t kCloseNotifyFailedText[] = u"Failed to close the handle notification handle.";
constexpr char16_t kCloseHandleFailedText[] = u"Failed to close handle to driver.";

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kDeviceToHostStandardDevice = 0x80;
constexpr uint32_t kDescriptorTimeoutSeconds = 5;
constexpr uint16_t kEnglishUs = 0x0409;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kCurrentSettingUnknown = 255;
// The data model has two configuration slots; further configurations are never read.
constexpr uint8_t kConfigSlots = 2;
// A port that keeps failing indices without ever reporting the end of its list must
// not keep the count going for ever.
constexpr uint32_t kMaxInterfaceIndex = 1024;

uint8_t MajorVersion(uint16_t bcd) {
  return static_cast<uint8_t>(bcd >> 8);
}
}  // namespace

UsbDevice::UsbDevice(DeviceNoticeRecipient* notifyWindow, const Guid& interfaceGuid, bool openFlag)
    : NotifyWindow(notifyWindow), InterfaceGuid(interfaceGuid) {
  if (NotifyWindow != nullptr) {
    uint32_t error = 0;
    ClassNotifyHandle =
        GetDriverPort().RegisterClassNotification(InterfaceGuid, NotifyWindow, &error);
    if (ClassNotifyHandle == NO_NOTIFY_HANDLE) LastErrorCode = error;
  }
  if (openFlag) Open(OpenedIndex);
}

UsbDevice::~UsbDevice() {
  // A handle the platform will not close still leaves this object, and its memory
  // must go with it.
  if (!CloseDevice()) ReleaseTree();
  if (ClassNotifyHandle != NO_NOTIFY_HANDLE) {
    uint32_t error = 0;
    if (!GetDriverPort().UnregisterNotification(ClassNotifyHandle, &error)) LastErrorCode = error;
    ClassNotifyHandle = NO_NOTIFY_HANDLE;
  }
}

bool UsbDevice::SendDeviceRequest(uint32_t code, void* buffer, uint32_t length) {
  if (DeviceHandle == INVALID_DRIVER_HANDLE) return false;
  uint32_t bytes = 0;
  uint32_t error = 0;
  const bool ok = GetDriverPort().IoControl(DeviceHandle, code, buffer, length, buffer, length,
                                            &bytes, nullptr, &error);
  BytesReturned = bytes;
  if (!ok) {
    LastErrorCode = error;
    return false;
  }
  return bytes == length;
}

uint8_t UsbDevice::CountDevices() {
  PresentCount = 0;
  uint32_t error = 0;
  std::unique_ptr<DeviceInterfaceSet> set = GetDriverPort().GetClassDevices(InterfaceGuid, &error);
  if (!set) return 0;
  std::string path;
  for (uint32_t index = 0; index < kMaxInterfaceIndex; ++index) {
    const uint32_t result = set->GetInterfacePath(index, &path);
    if (result == ERROR_SUCCESS) {
      ++PresentCount;
    } else if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
  }
  return PresentCount;
}

bool UsbDevice::OpenDriverHandle(uint8_t deviceNumber) {
  const uint8_t count = CountDevices();
  if (count == 0 || deviceNumber > count - 1) return false;
  DriverPort& port = GetDriverPort();
  uint32_t error = 0;
  std::unique_ptr<DeviceInterfaceSet> set = port.GetClassDevices(InterfaceGuid, &error);
  std::string path;
  if (!set || set->GetInterfacePath(deviceNumber, &path) != ERROR_SUCCESS) {
    OpenedIndex = 0;
    DeviceHandle = INVALID_DRIVER_HANDLE;
    return false;
  }
  // DevicePath keeps at most 255 characters; the device itself is opened by its
  // full path, so a longer one only shows truncated.
  const size_t kept = std::min(path.size(), sizeof DevicePath - 1);
  std::memcpy(DevicePath, path.data(), kept);
  DevicePath[kept] = '\0';
  const DriverHandle handle = port.Open(path, &error);
  if (handle == INVALID_DRIVER_HANDLE) {
    LastErrorCode = error;
    return false;
  }
  DeviceHandle = handle;
  return true;
}

bool UsbDevice::ReadDescriptor(uint16_t value, uint16_t index, uint16_t length,
                               std::vector<uint8_t>* data, bool updateNtStatus) {
  std::vector<uint8_t> block(DRIVER_TRANSFER_BLOCK_SIZE + length, 0);
  DriverTransferBlock header;
  header.bmRequestType = kDeviceToHostStandardDevice;
  header.bRequest = kGetDescriptor;
  header.wValue = value;
  header.wIndex = index;
  header.wLength = length;
  header.Timeout = kDescriptorTimeoutSeconds;
  header.EndpointAddress = 0;
  header.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
  header.BufferLength = length;
  WriteDriverTransferBlock(header, block.data());
  const bool ok =
      SendDeviceRequest(IOCTL_EP0_TRANSFER, block.data(), static_cast<uint32_t>(block.size()));
  DescUsbdStatus = GetLe32(block.data() + DTB_USBDSTATUS_OFFSET);
  if (updateNtStatus) DescNtStatus = GetLe32(block.data() + DTB_NTSTATUS_OFFSET);
  if (ok) data->assign(block.begin() + DRIVER_TRANSFER_BLOCK_SIZE, block.end());
  return ok;
}

bool UsbDevice::ReadDescriptorSet(uint16_t value, uint16_t index, uint16_t headerLength,
                                  bool totalIsWord, std::vector<uint8_t>* data,
                                  bool updateNtStatus) {
  std::vector<uint8_t> head;
  if (!ReadDescriptor(value, index, headerLength, &head, updateNtStatus)) return false;
  const uint16_t fullLength = totalIsWord ? GetLe16(head.data() + 2) : head[0];
  return ReadDescriptor(value, index, fullLength, data, updateNtStatus);
}

void UsbDevice::ReadDeviceDescriptor() {
  std::memset(DeviceDescriptor, 0, sizeof DeviceDescriptor);
  std::vector<uint8_t> answer;
  if (!ReadDescriptor(0x0100, 0, sizeof DeviceDescriptor, &answer, true)) return;
  std::memcpy(DeviceDescriptor, answer.data(), sizeof DeviceDescriptor);
  const uint8_t* d = DeviceDescriptor;
  bcdUSB = GetLe16(d + 2);
  bDeviceClass = d[4];
  bDeviceSubClass = d[5];
  bDeviceProtocol = d[6];
  idVendor = GetLe16(d + 8);
  idProduct = GetLe16(d + 10);
  bcdDevice = GetLe16(d + 12);
  ConfigurationCount = d[17];
  // SuperSpeed gives the size as a power of two; an exponent that no 32-bit size can
  // hold gives 0.
  if (MajorVersion(bcdUSB) >= 3) {
    Ep0PacketSize = d[7] < 32 ? (1u << d[7]) : 0;
  } else {
    Ep0PacketSize = d[7];
  }
}

void UsbDevice::ChooseLanguage() {
  std::vector<uint8_t> table;
  if (!ReadDescriptorSet(0x0300, 0, 2, false, &table, false)) return;
  const size_t length = table.empty() ? 0 : std::min<size_t>(table[0], table.size());
  const size_t count = length >= 2 ? (length - 2) / 2 : 0;
  LanguageId = count > 0 ? GetLe16(table.data() + 2) : 0;
  for (size_t i = 0; i < count; ++i) {
    if (GetLe16(table.data() + 2 + 2 * i) == kEnglishUs) LanguageId = kEnglishUs;
  }
}

void UsbDevice::ReadStringText(uint8_t stringIndex, std::span<char16_t> text) {
  std::vector<uint8_t> answer;
  if (!ReadDescriptorSet(static_cast<uint16_t>(0x0300 + stringIndex), LanguageId, 2, false, &answer,
                         true)) {
    return;
  }
  if (answer.size() < 2 || answer[0] <= 2 || answer[1] != kStringType) return;
  const size_t bytes = std::min<size_t>(answer[0], answer.size()) - 2;
  std::ranges::fill(text, u'\0');
  // Little-endian units; an odd trailing byte fills the low half of its unit.
  for (size_t i = 0; i < bytes; ++i) {
    const char16_t byte = answer[2 + i];
    text[i / 2] = static_cast<char16_t>(text[i / 2] | (i % 2 ? byte << 8 : byte));
  }
}

void UsbDevice::QueryDriver() {
  uint8_t address = 0;
  BusAddress = SendDeviceRequest(IOCTL_GET_BUS_ADDRESS, &address, 1) ? address : 0;

  std::memset(DriverDeviceName, 0, sizeof DriverDeviceName);
  SendDeviceRequest(IOCTL_GET_DEVICE_NAME, DriverDeviceName, sizeof DriverDeviceName);
  DriverDeviceName[sizeof DriverDeviceName - 1] = '\0';
  std::memset(DriverFriendlyName, 0, sizeof DriverFriendlyName);
  SendDeviceRequest(IOCTL_GET_FRIENDLY_NAME, DriverFriendlyName, sizeof DriverFriendlyName);
  DriverFriendlyName[sizeof DriverFriendlyName - 1] = '\0';

  uint8_t word[4] = {};
  DriverRevision = SendDeviceRequest(IOCTL_GET_DRIVER_REVISION, word, 4) ? GetLe32(word) : 0;
  std::memset(word, 0, sizeof word);
  UsbdiRevision = SendDeviceRequest(IOCTL_GET_USBDI_REVISION, word, 4) ? GetLe32(word) : 0;

  IsHighSpeed = false;
  IsSuperSpeed = false;
  std::memset(word, 0, sizeof word);
  if (SendDeviceRequest(IOCTL_GET_SPEED, word, 4)) {
    const uint32_t speed = GetLe32(word);
    IsHighSpeed = speed == DRIVER_SPEED_HIGH;
    IsSuperSpeed = speed == DRIVER_SPEED_SUPER;
  }
}

bool UsbDevice::FailMalformed(const char16_t* text, const char16_t* caption) {
  ShowMessageBox(nullptr, text, caption, MB_OK);
  CloseDevice();
  return false;
}

bool UsbDevice::Open(uint8_t deviceNumber) {
  // A handle that cannot be closed keeps its tree; building a second one over it
  // would lose the first.
  if (DeviceHandle != INVALID_DRIVER_HANDLE && !CloseDevice()) return false;
  if (!OpenDriverHandle(deviceNumber)) {
    OpenedIndex = 0;
    DeviceHandle = INVALID_DRIVER_HANDLE;
    return false;
  }
  OpenedIndex = deviceNumber;
  ReadDeviceDescriptor();
  ChooseLanguage();
  ReadStringText(DeviceDescriptor[14], ManufacturerText);
  ReadStringText(DeviceDescriptor[15], ProductText);
  ReadStringText(DeviceDescriptor[16], SerialNumberText);

  if (MajorVersion(bcdUSB) == 0x03 && ReadDescriptorSet(0x0F00, 0, 5, true, &RawBos, true)) {
    BosInfo = BuildBosInfo(RawBos.data(), RawBos.size());
    if (!BosInfo) return FailMalformed(kBosMalformedText, kBosMalformedCaption);
  }

  QueryDriver();

  const DescriptorForm form =
      MajorVersion(bcdUSB) == 0x02 ? DescriptorForm::Usb20 : DescriptorForm::SuperSpeed;
  const uint8_t configsToRead = std::min(ConfigurationCount, kConfigSlots);
  for (uint8_t i = 0; i < configsToRead; ++i) {
    if (!ReadDescriptorSet(static_cast<uint16_t>(0x0200 + i), 0, 9, true, &RawConfig[i], true)) {
      continue;
    }
    Configs[i] = BuildConfiguration(RawConfig[i].data(), RawConfig[i].size(), DeviceHandle, form);
    if (!Configs[i]) return FailMalformed(kConfigMalformedText, kConfigMalformedCaption);
  }

  const uint8_t ep0Descriptor[7] = {7, 5, 0x00, 0x00, 0, 0, 0};
  controlEndpoint_ = std::make_unique<UsbControlEndpoint>(DeviceHandle, ep0Descriptor, nullptr);
  ControlEndpoint = controlEndpoint_.get();
  ControlEndpoint->MaxPacketSize = static_cast<uint16_t>(Ep0PacketSize);

  if (!Configs[0] || Configs[0]->AltSettingTotal == 0) return false;
  SelectSetting();

  if (ClassNotifyHandle != NO_NOTIFY_HANDLE) {
    uint32_t error = 0;
    HandleNotifyHandle =
        GetDriverPort().RegisterHandleNotification(DeviceHandle, NotifyWindow, &error);
    if (HandleNotifyHandle == NO_NOTIFY_HANDLE) LastErrorCode = error;
  }
  return true;
}

void UsbDevice::SelectSetting() {
  UsbConfiguration* config = Configs[0].get();
  if (config == nullptr) return;
  ConfigIndex = 0;
  bConfigurationValue = config->bConfigurationValue;
  bmAttributes = config->bmAttributes;
  bMaxPower = config->bMaxPower;
  InterfaceCount = config->bNumInterfaces;
  AltSettingCount = config->AltSettingTotal;
  if (config->AltSettings[0] != nullptr) {
    ActiveInterfaceNumber = config->AltSettings[0]->bInterfaceNumber;
  }
  uint8_t current = kCurrentSettingUnknown;
  if (!SendDeviceRequest(IOCTL_GET_ALT_SETTING, &current, 1)) current = kCurrentSettingUnknown;
  for (uint8_t i = 0; i < config->AltSettingTotal; ++i) {
    UsbAltInterface* setting = config->AltSettings[i].get();
    if (setting->bAlternateSetting != current) continue;
    AltIndex = i;
    bInterfaceClass = setting->bInterfaceClass;
    bInterfaceSubClass = setting->bInterfaceSubClass;
    bInterfaceProtocol = setting->bInterfaceProtocol;
    PublishEndpoints(setting);
    return;
  }
}

void UsbDevice::PublishEndpoints(UsbAltInterface* setting) {
  if (ConfigurationCount == 0 || InterfaceCount == 0) return;
  EndpointTable = setting->Endpoints;
  EndpointTable[0] = ControlEndpoint;
  IsocInEndpoint = IsocOutEndpoint = nullptr;
  BulkInEndpoint = BulkOutEndpoint = nullptr;
  InterruptInEndpoint = InterruptOutEndpoint = nullptr;
  const uint8_t count = CountEndpoints();
  for (uint8_t i = 1; i < count; ++i) {
    UsbEndpoint* endpoint = EndpointTable[i];
    endpoint->TransferMode.store(1, std::memory_order_relaxed);
    const bool in = (endpoint->bEndpointAddress & 0x80) != 0;
    UsbEndpoint** shortcut = nullptr;
    switch (endpoint->bmAttributes) {
      case 1:
        shortcut = in ? &IsocInEndpoint : &IsocOutEndpoint;
        break;
      case 2:
        shortcut = in ? &BulkInEndpoint : &BulkOutEndpoint;
        break;
      case 3:
        shortcut = in ? &InterruptInEndpoint : &InterruptOutEndpoint;
        break;
      default:
        break;
    }
    if (shortcut != nullptr && *shortcut == nullptr) *shortcut = endpoint;
  }
}

void UsbDevice::ReleaseTree() {
  std::memset(DeviceDescriptor, 0, sizeof DeviceDescriptor);
  RawBos.clear();
  BosInfo.reset();
  for (uint8_t i = 0; i < kConfigSlots; ++i) {
    RawConfig[i].clear();
    Configs[i].reset();
  }
  IsocInEndpoint = IsocOutEndpoint = nullptr;
  BulkInEndpoint = BulkOutEndpoint = nullptr;
  InterruptInEndpoint = InterruptOutEndpoint = nullptr;
  ControlEndpoint = nullptr;
  controlEndpoint_.reset();
  // The table was the released setting's array: it must not outlive it.
  EndpointTable = nullptr;
  PresentCount = 0;
  InterfaceCount = 0;
  AltSettingCount = 0;
  ConfigurationCount = 0;
}

bool UsbDevice::CloseDevice() {
  CloseError = nullptr;
  if (DeviceHandle != INVALID_DRIVER_HANDLE) {
    DriverPort& port = GetDriverPort();
    uint32_t error = 0;
    if (HandleNotifyHandle != NO_NOTIFY_HANDLE) {
      if (!port.UnregisterNotification(HandleNotifyHandle, &error)) {
        LastErrorCode = error;
        CloseError = kCloseNotifyFailedText;
        return false;
      }
      HandleNotifyHandle = NO_NOTIFY_HANDLE;
    }
    if (!port.Close(DeviceHandle, &error)) {
      LastErrorCode = error;
      CloseError = kCloseHandleFailedText;
      return false;
    }
    HandleNotifyHandle = NO_NOTIFY_HANDLE;
    DeviceHandle = INVALID_DRIVER_HANDLE;
  }
  ReleaseTree();
  return true;
}

bool UsbDevice::RestartDevice() {
  return SendDeviceRequest(IOCTL_RESTART_DEVICE, nullptr, 0);
}

uint8_t UsbDevice::CountEndpoints() {
  if (DeviceHandle == INVALID_DRIVER_HANDLE || ConfigIndex >= kConfigSlots) return 0;
  const UsbConfiguration* config = Configs[ConfigIndex].get();
  if (config == nullptr) return 0;
  const UsbAltInterface* setting = config->AltSettings[AltIndex].get();
  // Only the published setting has a table the callers may walk.
  if (setting == nullptr || EndpointTable != setting->Endpoints) return 0;
  return static_cast<uint8_t>(setting->bNumEndpoints + 1);
}

void UsbDevice::CopyConfigDescriptor(uint8_t* out9) {
  std::memset(out9, 0, 9);
  if (ConfigIndex >= kConfigSlots) return;
  const std::vector<uint8_t>& raw = RawConfig[ConfigIndex];
  if (!raw.empty()) std::memcpy(out9, raw.data(), std::min<size_t>(raw.size(), 9));
}

void UsbDevice::CopyInterfaceDescriptor(uint8_t* out9) {
  std::memset(out9, 0, 9);
  if (ConfigIndex >= kConfigSlots || !Configs[ConfigIndex]) return;
  const UsbAltInterface* s = Configs[ConfigIndex]->AltSettings[AltIndex].get();
  if (s == nullptr) return;
  const uint8_t fields[9] = {
      s->bLength,       s->bDescriptorType, s->bInterfaceNumber,   s->bAlternateSetting,
      s->bNumEndpoints, s->bInterfaceClass, s->bInterfaceSubClass, s->bInterfaceProtocol,
      s->iInterface};
  std::memcpy(out9, fields, sizeof fields);
}
