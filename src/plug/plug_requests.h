// The vendor requests the loopback plug understands, and the data that travels with
// them: the configuration block, the information string and the speed code.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engines/configuration.h"
#include "platform/clock.h"
#include "protocol/bus_error_report.h"
#include "protocol/config_block.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"

// SendPlugRequest directions and its answer when no plug is open.
constexpr uint32_t PLUG_REQUEST_IN = 1;
constexpr uint32_t PLUG_REQUEST_OUT = 2;
constexpr uint32_t PLUG_NOT_OPEN = 0xFFFFFFFF;

// Whether the plug in use (PlugDevice) has an open driver handle.
bool IsPlugOpen();

// One vendor request to the plug in use, on its control endpoint: direction
// PLUG_REQUEST_OUT writes length bytes of buffer, any other direction reads them.
// 1 when the transfer succeeded, 0 when it failed, PLUG_NOT_OPEN (nothing sent) when
// no plug is open. Requests from different threads are sent one at a time.
uint32_t SendPlugRequest(uint16_t command, uint32_t direction, void* buffer, uint32_t length);

// ---- Configuration block ----

// The configuration block for a (corrected) configuration.
PlugConfigBlock BuildPlugConfigBlock(const TestConfigRecord& config);

// ---- Information string ----

// The information string is read 31 bytes long; the byte after them always stays the
// terminator, so the text is at most 31 characters whatever the plug sends.
using PlugInfoBuffer = std::array<uint8_t, PLUG_INFO_LENGTH + 1>;

// The information request. The buffer is zeroed first, so a failed read leaves no
// text. True when the request succeeded.
bool ReadPlugInfo(PlugInfoBuffer& buffer);

// The text of the buffer up to its first zero byte (at most 31 characters).
std::string_view PlugInfoText(const PlugInfoBuffer& buffer);

// The check made when a plug is selected: without "FW Version" the user is told the
// firmware is not compatible and the result is false. Otherwise the text is logged,
// FirmwareNumber is set when the version can be found, and old firmware gets a
// warning record (the plug is used all the same).
bool CheckPlugInfo(const PlugInfoBuffer& buffer, void* owner = nullptr);

// ---- Speed code ----

// The plug's last answer to the speed request (1 full, 2 high, 3 SuperSpeed); 0 until
// a plug answered. A failed read keeps the previous code. Window thread only; owned
// by this module (plug/plug_requests).
extern uint32_t PlugSpeedCode;
// Back to 0, as at process start (tests).
void ResetPlugSpeedCode();

// Sends the speed request and returns PlugSpeedCode afterwards.
uint32_t ReadPlugSpeedCode();

// The connection-type entries the plug offers for its speed code, fastest first.
std::vector<const char16_t*> SpeedListEntries(uint32_t speedCode);

// ---- LEDs ----

using PauseFunction = void (*)(uint32_t milliseconds);

// The three LED commands in order with 500 ms pauses between them; nothing when no
// plug is open.
void FlashLeds(PauseFunction pause = Sleep);
