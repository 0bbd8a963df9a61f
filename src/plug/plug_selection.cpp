#include "plug/plug_selection.h"

#include <array>

#include "usb/plug_ids.h"

std::atomic<bool> PlugConnected{false};
std::u16string CurrentPlugSerial;
std::atomic<uint32_t> SelectedDeviceNumber{0};
std::atomic<int32_t> FirmwareNumber{0};
UsbDevice* PlugDevice = nullptr;

namespace {

constexpr size_t kPrefixLength = 26;

constexpr std::array<char16_t, kPrefixLength> BuildDevicePathPrefix() {
  std::array<char16_t, kPrefixLength> prefix{};
  size_t at = 0;
  auto text = [&](const char* s) {
    while (*s) prefix[at++] = static_cast<char16_t>(*s++);
  };
  auto hex4 = [&](uint16_t value) {
    for (int shift = 12; shift >= 0; shift -= 4) {
      prefix[at++] = static_cast<char16_t>("0123456789ABCDEF"[(value >> shift) & 0xF]);
    }
  };
  text("\\\\?\\USB#VID_");
  hex4(PLUG_VENDOR_ID);
  text("&PID_");
  hex4(PLUG_PRODUCT_ID);
  text("#");
  return prefix;
}

constexpr std::array<char16_t, kPrefixLength> kDevicePathPrefix = BuildDevicePathPrefix();

}  // namespace

const std::u16string_view DevicePathPrefix(kDevicePathPrefix.data(), kDevicePathPrefix.size());

void ResetPlugSelection() {
  PlugConnected = false;
  CurrentPlugSerial.clear();
  SelectedDeviceNumber = 0;
  FirmwareNumber = 0;
}
