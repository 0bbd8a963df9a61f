#include "protocol/device_path.h"

#include <cstdio>

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

constexpr std::array<char, PLUG_DEVICE_PATH_PREFIX_LENGTH> kPrefix = PlugDevicePathPrefix();
constexpr std::string_view kPrefixText(kPrefix.data(), kPrefix.size());

}  // namespace

std::string PlugDevicePath(std::string_view serial) {
  return DevicePathFor({PLUG_VENDOR_ID, PLUG_PRODUCT_ID}, serial);
}

std::string DevicePathFor(PlugId id, std::string_view serial) {
  char prefix[PLUG_DEVICE_PATH_PREFIX_LENGTH + 1];
  std::snprintf(prefix, sizeof prefix, "\\\\?\\usb#vid_%04x&pid_%04x#", id.Vendor, id.Product);
  std::string path = prefix;
  path += serial;
  path += '#';
  path += LowerText(PLUG_INTERFACE_CLASS.ToString());
  return path;
}

std::optional<std::string> PlugSerialFromPath(std::string_view path) {
  if (path.size() < kPrefixText.size() ||
      !SameDevicePath(path.substr(0, kPrefixText.size()), kPrefixText)) {
    return std::nullopt;
  }
  const std::string_view rest = path.substr(kPrefixText.size());
  return std::string(rest.substr(0, rest.find('#')));
}

bool SameDevicePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}
