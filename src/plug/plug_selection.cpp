#include "plug/plug_selection.h"

#include <array>

#include "protocol/device_path.h"

std::atomic<bool> PlugConnected{false};
std::u16string CurrentPlugSerial = u"No Serial";
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

}  // namespace

const std::u16string_view DevicePathPrefix(kDevicePathPrefix.data(), kDevicePathPrefix.size());

void ResetPlugSelection() {
  PlugConnected = false;
  CurrentPlugSerial = u"No Serial";
  SelectedDeviceNumber = 0;
  FirmwareNumber = 0;
}
