// The plug's information string, the answer to the information request: free text
// of at most 31 single-byte characters holding "FW Version V<d><sep><d>" (the
// firmware version; 2.3 is FirmwareNumber 23) and "HW Version <text>".
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Bytes the host reads; it keeps the byte after them as the terminator.
constexpr size_t PLUG_INFO_LENGTH = 31;

constexpr std::string_view PLUG_INFO_FIRMWARE_TAG = "FW Version";
constexpr std::string_view PLUG_INFO_FIRMWARE_VERSION_TAG = "FW Version V";
constexpr std::string_view PLUG_INFO_HARDWARE_TAG = "HW Version";

bool HasFirmwareVersion(std::string_view info);
// 10 x major + minor from "FW Version V<major><sep><minor>"; nullopt without
// "FW Version V". Digits that are missing or not digits give 0, the oldest version.
std::optional<int32_t> ParseFirmwareNumber(std::string_view info);

// "FW Version V2.3" for firmware 23 (0..99).
std::string PlugFirmwareField(uint8_t firmware);
// "HW Version 1.0" for hardware "1.0".
std::string PlugHardwareField(std::string_view hardware);
