#include "plug/plug_selection.h"

#include <array>
#include <functional>
#include <memory>
#include <new>

#include "engines/configuration.h"
#include "engines/shell_calls.h"
#include "log/event_log.h"
#include "platform/message_box.h"
#include "plug/plug_monitor.h"
#include "plug/plug_registry.h"
#include "plug/plug_requests.h"
#include "protocol/device_path.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "usb/usb_device.h"
#include "window/window.h"

namespace {
constexpr char16_t kNoSerial[] = u"No Serial";
}  // namespace

std::atomic<bool> PlugConnected{false};
std::u16string CurrentPlugSerial = kNoSerial;
std::atomic<uint32_t> SelectedDeviceNumber{0};
std::atomic<int32_t> FirmwareNumber{0};
UsbDevice* PlugDevice = nullptr;
std::mutex PlugSelectionLock;

namespace {

constexpr std::array<char16_t, PLUG_DEVICE_PATH_PREFIX_LENGTH> WidenPrefix() {
  const std::array<char, PLUG_DEVICE_PATH_PREFIX_LENGTH> narrow = PlugDevicePathPrefix();
  std::array<char16_t, PLUG_DEVICE_PATH_PREFIX_LENGTH> wide{};
  for (size_t i = 0; i < narrow.size(); ++i) wide[i] = static_cast<char16_t>(narrow[i]);
  return wide;
}

constexpr std::array<char16_t, PLUG_DEVICE_PATH_PREFIX_LENGTH> kDevicePathPrefix = WidenPrefix();

// The selection's text is read into a buffer of 64 characters.
constexpr size_t kMaxEntryChars = 63;

bool Verbose() {
  return TestConfig.VerboseLogging != 0;
}

ui::Window* Control(ui::Window* mainWindow, int32_t id) {
  return mainWindow != nullptr ? mainWindow->Control(id) : nullptr;
}

ui::Window* DeviceList(ui::Window* mainWindow) {
  return Control(mainWindow, res::IDC_DEVICE_LIST);
}

void SelectListEntry(ui::Window* list, int32_t index) {
  if (list != nullptr) list->ComboSelect(index);
}

std::u16string SerialOf(const UsbDevice& device) {
  const char16_t* text = device.SerialNumberText;
  const size_t capacity = sizeof device.SerialNumberText / sizeof device.SerialNumberText[0];
  size_t length = 0;
  while (length < capacity && text[length] != u'\0') ++length;
  return std::u16string(text, length);
}

// A device object of its own for looking at every present device, without notices.
// Scanning goes on while a plug is in use, so it never touches PlugDevice.
std::unique_ptr<UsbDevice> NewScratchDevice() {
  return std::unique_ptr<UsbDevice>(new (std::nothrow)
                                        UsbDevice(nullptr, PLUG_INTERFACE_CLASS, false));
}

// Open, and once more after a restart of the device if that failed. onFailure runs
// after each failed attempt.
bool OpenWithRetry(UsbDevice& device, uint32_t deviceNumber,
                   const std::function<void()>& onFailure = {}) {
  const auto number = static_cast<uint8_t>(deviceNumber);
  if (device.Open(number)) return true;
  if (onFailure) onFailure();
  device.RestartDevice();
  if (device.Open(number)) return true;
  if (onFailure) onFailure();
  return false;
}

std::u16string SpeedText(const UsbDevice& device) {
  uint32_t speed = TestConfigRecord::FullSpeed;
  if (device.IsHighSpeed) {
    speed = TestConfigRecord::HighSpeed;
  } else if (device.IsSuperSpeed) {
    speed = TestConfigRecord::SuperSpeed;
  }
  return u"(" + std::u16string(ConnectionTypeNames[speed]) + u")";
}

// The connection types the plug offers, and the one it is connected at now chosen
// in the list and in TestConfig.
void TakePlugSpeed(ui::Window* mainWindow, const UsbDevice& device) {
  ui::Window* list = Control(mainWindow, res::IDC_CONNECTION_LIST);
  if (list != nullptr) list->ComboReset();
  const uint32_t speedCode = ReadPlugSpeedCode();
  if (list != nullptr) {
    for (const char16_t* entry : SpeedListEntries(speedCode)) list->ComboAdd(entry);
    list->ComboSelect(0);
  }
  // The list holds the offered types fastest first, so the entry of the current
  // connection depends on how many faster ones precede it.
  int32_t entry = 0;
  TestConfig.BurstLength = 1;
  if (device.IsSuperSpeed) {
    TestConfig.ConnectionType = TestConfigRecord::SuperSpeed;
    TestConfig.BurstLength = 16;
  } else if (device.IsHighSpeed) {
    entry = speedCode == SPEED_SUPER ? 1 : 0;
    TestConfig.ConnectionType = TestConfigRecord::HighSpeed;
  } else {
    entry = speedCode == SPEED_SUPER ? 2 : speedCode == SPEED_HIGH ? 1 : 0;
    TestConfig.ConnectionType = TestConfigRecord::FullSpeed;
  }
  SelectListEntry(list, entry);
}

}  // namespace

const std::u16string_view DevicePathPrefix(kDevicePathPrefix.data(), kDevicePathPrefix.size());

void ResetPlugSelection() {
  PlugConnected = false;
  CurrentPlugSerial = kNoSerial;
  SelectedDeviceNumber = 0;
  FirmwareNumber = 0;
}

bool IsTestPlug(const UsbDevice& device) {
  return IsPlugId(device.idVendor, device.idProduct);
}

int32_t FindPlugListEntry(ui::Window* list, std::u16string_view text) {
  if (list == nullptr || text.empty()) return -1;
  const int32_t count = list->ComboCount();
  for (int32_t i = 0; i < count; ++i) {
    if (list->ComboItemText(i).find(text) != std::u16string::npos) return i;
  }
  return -1;
}

void AddPlugToList(ui::Window* mainWindow, UsbDevice& device, uint32_t /*deviceNumber*/) {
  uint8_t config[9];
  uint8_t interface[9];
  device.CopyConfigDescriptor(config);
  device.CopyInterfaceDescriptor(interface);
  constexpr size_t kNumInterfaces = 4;     // in the configuration descriptor
  constexpr size_t kAlternateSetting = 3;  // in the interface descriptor
  if (config[kNumInterfaces] != 1 || interface[kAlternateSetting] != 0) return;

  const std::u16string entry = SerialOf(device) + u" " + SpeedText(device);
  const std::u16string record =
      entry + (ReenumerationPending ? u" re-enumerated" : u" added to list");
  LogEvent(record.c_str(), LogCategory::Information);
  if (ui::Window* list = DeviceList(mainWindow)) list->ComboAdd(entry);
}

void ScanForPlugs(ui::Window* mainWindow) {
  if (Verbose()) LogEvent(u"Initial USB3 device scan", LogCategory::Diagnostics);
  std::unique_ptr<UsbDevice> scratch = NewScratchDevice();
  if (!scratch) {
    ShowMessageBox(mainWindow, u"Could not open USB device object",
                   u"Error scanning for USB devices", MB_OK | MB_ICONERROR);
    return;
  }
  ui::Window* list = DeviceList(mainWindow);
  if (list != nullptr) list->ComboReset();

  const uint8_t count = scratch->CountDevices();
  if (count == 0) {
    ShowMessageBox(mainWindow,
                   u"No Quorvale ZED 3.0 uriv device detected.\nYou may need to plug in (or "
                   u"install) USB devices.\n",
                   u"Tarnwick: Error", MB_OK | MB_ICONERROR);
    return;
  }
  for (uint32_t number = 0; number < count; ++number) {
    const bool opened = OpenWithRetry(*scratch, number, [&] {
      LogEventText(u"tmpUSBDevice->Open(curUSB3) == false, device %s", SerialOf(*scratch).c_str(),
                   LogCategory::Diagnostics);
    });
    if (opened && IsTestPlug(*scratch)) AddPlugToList(mainWindow, *scratch, number);
    scratch->CloseDevice();
  }
  scratch.reset();
  SelectListEntry(list, 0);
  SelectPlug(mainWindow);
}

void SelectPlug(ui::Window* mainWindow) {
  MonitorReconnect = true;
  PlugConnected = false;

  ui::Window* list = DeviceList(mainWindow);
  std::u16string wanted;
  if (list != nullptr) {
    const int32_t selection = list->ComboSelection();
    if (selection >= 0) wanted = list->ComboItemText(selection).substr(0, kMaxEntryChars);
  }
  wanted = wanted.substr(0, wanted.find(u' '));

  if (PlugDevice != nullptr) {
    std::lock_guard<std::mutex> guard(PlugSelectionLock);
    PlugDevice->CloseDevice();
  }
  if (wanted.empty()) return;

  if (!ClaimPlug(mainWindow, wanted)) {
    SelectListEntry(list, FindPlugListEntry(list, CurrentPlugSerial));
    return;
  }

  std::unique_ptr<UsbDevice> scratch = NewScratchDevice();
  if (!scratch) {
    if (Verbose()) LogEvent(u"Failed to allocate new UsbDevice", LogCategory::Information);
    return;
  }
  const uint8_t count = scratch->CountDevices();
  for (uint32_t number = 0; number < count; ++number) {
    if (!OpenWithRetry(*scratch, number)) {
      if (Verbose()) {
        LogEventNumber(u"Failed to open USBDevice %d", static_cast<int32_t>(number),
                       LogCategory::Information);
      }
      scratch->CloseDevice();
      continue;
    }
    const bool match = IsTestPlug(*scratch) && SerialOf(*scratch) == wanted;
    scratch->CloseDevice();
    if (match) {
      if (Verbose()) {
        LogEventText(u"Found serial match for %s", wanted.c_str(), LogCategory::Information);
        LogEventNumber(u"Device num %d", static_cast<int32_t>(number), LogCategory::Information);
      }
      SelectedDeviceNumber = number;
      break;
    }
  }
  scratch.reset();

  MonitorReconnect = true;
  bool opened = false;
  if (PlugDevice != nullptr) {
    std::lock_guard<std::mutex> guard(PlugSelectionLock);
    opened = OpenWithRetry(*PlugDevice, SelectedDeviceNumber);
  }
  if (!opened) {
    ShowMessageBox(mainWindow, u"Unable to connect to selected USB loopback plug",
                   u"Could not open handle", MB_OK | MB_ICONERROR);
    return;
  }
  CurrentPlugSerial = SerialOf(*PlugDevice);

  PlugInfoBuffer info;
  ReadPlugInfo(info);
  if (!CheckPlugInfo(info, mainWindow)) {
    // The plug stays open but cannot be used: every control but Exit is kept from it.
    ShellDisableControlsForTest(mainWindow);
    if (ui::Window* exit = Control(mainWindow, IDC_EXIT)) exit->Enable(true);
    return;
  }
  if (Verbose()) {
    LogEventText(u"Initialising plug: %s", CurrentPlugSerial.c_str(), LogCategory::Information);
  }
  TakePlugSpeed(mainWindow, *PlugDevice);
  ApplyConfigToPlug(true);
  if (Verbose()) {
    LogEventNumber(u"Device number %d selected for testing",
                   static_cast<int32_t>(SelectedDeviceNumber.load()), LogCategory::Diagnostics);
  }
}

void HandlePlugChange(ui::Window* mainWindow, int kind, std::u16string_view serial) {
  ui::Window* list = DeviceList(mainWindow);
  if (kind == PLUG_CHANGE_REMOVAL) {
    const int32_t entry = FindPlugListEntry(list, serial);
    if (entry < 0) return;
    if (Verbose()) {
      LogEventText(u"Delete %s from list of plugs", std::u16string(serial).c_str(),
                   LogCategory::Diagnostics);
    }
    list->ComboDelete(entry);
    return;
  }
  if (kind != PLUG_CHANGE_ARRIVAL) return;

  std::unique_ptr<UsbDevice> scratch = NewScratchDevice();
  if (!scratch) return;
  int64_t foundAt = -1;
  const uint8_t count = scratch->CountDevices();
  for (uint32_t number = 0; number < count && foundAt < 0; ++number) {
    if (OpenWithRetry(*scratch, number) && IsTestPlug(*scratch) && SerialOf(*scratch) == serial) {
      AddPlugToList(mainWindow, *scratch, number);
      foundAt = number;
    }
    scratch->CloseDevice();
  }
  scratch.reset();

  // Only the return of the plug in use completes its re-enumeration; another plug
  // arriving meanwhile must not stand in for it.
  if (!ReenumerationPending || serial != CurrentPlugSerial) return;
  // Plugs that left or arrived in the meantime may have moved it in the driver's order.
  if (foundAt >= 0) SelectedDeviceNumber = static_cast<uint32_t>(foundAt);

  bool opened = false;
  if (PlugDevice != nullptr) {
    std::lock_guard<std::mutex> guard(PlugSelectionLock);
    // The endpoint table is rebuilt: the monitor's endpoint goes with the old one.
    MonitorReconnect = true;
    opened = OpenWithRetry(*PlugDevice, SelectedDeviceNumber);
  }
  if (!opened) {
    SelectListEntry(list, -1);
    return;
  }
  if (Verbose()) {
    LogEventText(u"Device %s is ready for testing", CurrentPlugSerial.c_str(),
                 LogCategory::Diagnostics);
  }
  ReenumerationPending = false;
  PlugConnected = true;
  ShellRestoreIdleControls(mainWindow);
  SelectListEntry(list, FindPlugListEntry(list, CurrentPlugSerial));
}

bool HandlePlugHandleRemoval(DriverHandle handle) {
  if (PlugDevice == nullptr || handle == INVALID_DRIVER_HANDLE ||
      handle != PlugDevice->DeviceHandle) {
    return false;
  }
  MonitorReconnect = true;
  PlugConnected = false;
  if (Verbose()) LogEvent(u"Device removed", LogCategory::Diagnostics);
  return true;
}
