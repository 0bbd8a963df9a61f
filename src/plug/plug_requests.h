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

// Commands (the request's wValue). A high byte of 1 marks the ending form of the
// command in the low byte. Scoped, so that the simulated plug's firmware can keep its
// own names for the same numbers.
namespace PlugCommand {
enum : uint16_t {
  LedStep1 = 0x0001,
  Configure = 0x0002,
  BenchmarkStart = 0x0004,
  ErrorMask = 0x0005,
  BusErrors = 0x0006,
  Speed = 0x0009,
  StartCounting = 0x000A,
  PrepareCounters = 0x000B,
  Info = 0x0050,
  BenchmarkEnd = 0x0104,
  EndMonitoring = 0x010B,
  LedStep3 = 0x0301,
  LedStep2 = 0x5501,
};
}  // namespace PlugCommand

// Error-mask data: before firmware 23 a 16-bit physical-layer mask, from 23 on a
// 32-bit mask with the link-layer kinds in the high half.
constexpr uint16_t PLUG_ERROR_MASK_OLD = 0x01FE;
constexpr uint32_t PLUG_ERROR_MASK_NEW = 0x7FFF01FF;
constexpr size_t PLUG_BUS_ERROR_REPORT_SIZE = 16;

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

using PlugConfigBlock = std::array<uint8_t, 14>;

// The configuration block for a (corrected) configuration.
PlugConfigBlock BuildPlugConfigBlock(const TestConfigRecord& config);

// ---- Information string ----

// The information string is read 31 bytes long; the byte after them always stays the
// terminator, so the text is at most 31 characters whatever the plug sends.
constexpr size_t PLUG_INFO_TEXT_LENGTH = 31;
using PlugInfoBuffer = std::array<uint8_t, PLUG_INFO_TEXT_LENGTH + 1>;

// The information request. The buffer is zeroed first, so a failed read leaves no
// text. True when the request succeeded.
bool ReadPlugInfo(PlugInfoBuffer& buffer);

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
