// The vendor requests the loopback plug understands, and the data that travels with
// them: the configuration block, the information string and the speed code.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engines/test_config.h"

// Commands (the request's wValue). A high byte of 1 marks the ending form of the
// command in the low byte.
constexpr uint16_t PLUG_CMD_CONFIGURE = 0x0002;
constexpr uint16_t PLUG_CMD_SPEED = 0x0009;
constexpr uint16_t PLUG_CMD_INFO = 0x0050;
constexpr uint16_t PLUG_CMD_LED_STEP1 = 0x0001;
constexpr uint16_t PLUG_CMD_LED_STEP2 = 0x5501;
constexpr uint16_t PLUG_CMD_LED_STEP3 = 0x0301;
constexpr uint16_t PLUG_CMD_BENCHMARK_START = 0x0004;
constexpr uint16_t PLUG_CMD_BENCHMARK_END = 0x0104;
constexpr uint16_t PLUG_CMD_ERROR_MASK = 0x0005;
constexpr uint16_t PLUG_CMD_BUS_ERRORS = 0x0006;
constexpr uint16_t PLUG_CMD_START_COUNTING = 0x000A;
constexpr uint16_t PLUG_CMD_PREPARE_COUNTERS = 0x000B;
constexpr uint16_t PLUG_CMD_END_MONITORING = 0x010B;

// Error-mask data: before firmware 23 a 16-bit physical-layer mask, from 23 on a
// 32-bit mask with the link-layer kinds in the high half.
constexpr uint16_t PLUG_ERROR_MASK_OLD = 0x01FE;
constexpr uint32_t PLUG_ERROR_MASK_NEW = 0x7FFF01FF;
constexpr size_t PLUG_BUS_ERROR_REPORT_SIZE = 16;

// SendPlugRequest directions and its answer when no plug is open.
constexpr uint32_t PLUG_REQUEST_IN = 1;
constexpr uint32_t PLUG_REQUEST_OUT = 2;
constexpr uint32_t PLUG_NOT_OPEN = 0xFFFFFFFF;

// Speed codes of the speed request's reply, as the connection types.
constexpr size_t PLUG_SPEED_CODE_SIZE = 4;

constexpr size_t PLUG_CONFIG_BLOCK_SIZE = 14;
using PlugConfigBlock = std::array<uint8_t, PLUG_CONFIG_BLOCK_SIZE>;

// The configuration block for a (corrected) configuration.
PlugConfigBlock BuildPlugConfigBlock(const TestConfigRecord& config);

// The information string is read 31 bytes long; the byte after them always stays the
// terminator, so the text is at most 31 characters whatever the plug sends.
constexpr size_t PLUG_INFO_LENGTH = 31;
using PlugInfoBuffer = std::array<uint8_t, PLUG_INFO_LENGTH + 1>;

// The text of the buffer up to its first zero byte (at most 31 characters).
std::string_view PlugInfoText(const PlugInfoBuffer& buffer);
bool HasFirmwareVersion(std::string_view info);
// 10 x major + minor from "FW Version V<major><sep><minor>"; nullopt without
// "FW Version V".
std::optional<int32_t> ParseFirmwareNumber(std::string_view info);

// The check made when a plug is selected: without "FW Version" the user is told the
// firmware is not compatible and the result is false. Otherwise the text is logged,
// FirmwareNumber is set when the version can be found, and old firmware gets a
// warning record (the plug is used all the same).
bool CheckPlugInfo(const PlugInfoBuffer& buffer, void* owner = nullptr);

// The connection-type entries the plug offers for its speed code, fastest first.
std::vector<const char16_t*> SpeedListEntries(uint32_t speedCode);
