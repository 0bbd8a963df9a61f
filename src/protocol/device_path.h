// The device-interface path of a plug:
//   \\?\usb#vid_1209&pid_000a#<serial>#{05fc6c39-ecc3-4441-89c9-ec9884c41116}
// Drivers report paths in either case, so paths compare without regard to case.
#pragma once
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/plug_ids.h"

constexpr size_t PLUG_DEVICE_PATH_PREFIX_LENGTH = 26;

// "\\?\USB#VID_1209&PID_000A#": the start of every plug's path, from the plug's ids.
constexpr std::array<char, PLUG_DEVICE_PATH_PREFIX_LENGTH> PlugDevicePathPrefix() {
  std::array<char, PLUG_DEVICE_PATH_PREFIX_LENGTH> prefix{};
  size_t at = 0;
  auto text = [&](const char* s) {
    while (*s) prefix[at++] = *s++;
  };
  auto hex4 = [&](uint16_t value) {
    for (int shift = 12; shift >= 0; shift -= 4)
      prefix[at++] = "0123456789ABCDEF"[(value >> shift) & 0xF];
  };
  text("\\\\?\\USB#VID_");
  hex4(PLUG_VENDOR_ID);
  text("&PID_");
  hex4(PLUG_PRODUCT_ID);
  text("#");
  return prefix;
}

// The path of the plug with this serial, in the lower case drivers report.
std::string PlugDevicePath(std::string_view serial);
// The same for a device with other ids (a plug added with --plug-id).
std::string DevicePathFor(PlugId id, std::string_view serial);

// The serial in a plug's path: the text after the prefix up to the next '#' (or the
// end). nullopt when the path does not start with the prefix.
std::optional<std::string> PlugSerialFromPath(std::string_view path);

bool SameDevicePath(std::string_view a, std::string_view b);
