#include "protocol/info_string.h"

bool HasFirmwareVersion(std::string_view info) {
  return info.find(PLUG_INFO_FIRMWARE_TAG) != std::string_view::npos;
}

std::optional<int32_t> ParseFirmwareNumber(std::string_view info) {
  const size_t start = info.find(PLUG_INFO_FIRMWARE_VERSION_TAG);
  if (start == std::string_view::npos) return std::nullopt;
  // The digits are the 13th and 15th characters from the tag's start. When the text
  // ends before them, or they are not digits, the version is unknown and counts as
  // the oldest (0), so the user is told to update and the older commands are used.
  const size_t major = start + PLUG_INFO_FIRMWARE_VERSION_TAG.size();
  const size_t minor = major + 2;
  if (minor >= info.size()) return 0;
  const char majorDigit = info[major];
  const char minorDigit = info[minor];
  if (majorDigit < '0' || majorDigit > '9' || minorDigit < '0' || minorDigit > '9') return 0;
  return 10 * (majorDigit - '0') + (minorDigit - '0');
}

std::string PlugFirmwareField(uint8_t firmware) {
  std::string text(PLUG_INFO_FIRMWARE_VERSION_TAG);
  text += static_cast<char>('0' + firmware / 10 % 10);
  text += '.';
  text += static_cast<char>('0' + firmware % 10);
  return text;
}

std::string PlugHardwareField(std::string_view hardware) {
  std::string text(PLUG_INFO_HARDWARE_TAG);
  text += ' ';
  text += hardware;
  return text;
}
