// The plug's vendor requests: a vendor request to the device with bRequest 0 and
// wIndex 0, the command in wValue. A high byte of 1 marks the ending form of the
// command in the low byte.
#pragma once
#include <cstddef>
#include <cstdint>

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

// The same commands under the names the request tables and the plug's tests use.
constexpr uint16_t PLUG_CMD_LED_STEP1 = PlugCommand::LedStep1;
constexpr uint16_t PLUG_CMD_CONFIG = PlugCommand::Configure;
constexpr uint16_t PLUG_CMD_BENCH_START = PlugCommand::BenchmarkStart;
constexpr uint16_t PLUG_CMD_BENCH_END = PlugCommand::BenchmarkEnd;
constexpr uint16_t PLUG_CMD_ERROR_MASK = PlugCommand::ErrorMask;
constexpr uint16_t PLUG_CMD_ERROR_COUNTERS = PlugCommand::BusErrors;
constexpr uint16_t PLUG_CMD_SPEED = PlugCommand::Speed;
constexpr uint16_t PLUG_CMD_START_COUNTING = PlugCommand::StartCounting;
constexpr uint16_t PLUG_CMD_PREPARE_COUNTERS = PlugCommand::PrepareCounters;
constexpr uint16_t PLUG_CMD_END_MONITORING = PlugCommand::EndMonitoring;
constexpr uint16_t PLUG_CMD_INFO = PlugCommand::Info;
constexpr uint16_t PLUG_CMD_LED_STEP3 = PlugCommand::LedStep3;
constexpr uint16_t PLUG_CMD_LED_STEP2 = PlugCommand::LedStep2;

// bRequest and wIndex of every vendor request.
constexpr uint8_t PLUG_REQUEST_CODE = 0;
constexpr uint16_t PLUG_REQUEST_INDEX = 0;

// The speed request's answer: a 32-bit little-endian connection speed code.
constexpr size_t PLUG_SPEED_REPLY_SIZE = 4;

// The plug's display: 128 x 64 pixels, 1 bit each, read from its bulk IN endpoint
// 0x87 as 64 rows of 16 bytes, first row first, most significant bit leftmost,
// 1 = lit.
constexpr uint8_t PLUG_DISPLAY_ENDPOINT = 0x87;
constexpr int PLUG_DISPLAY_WIDTH = 128;
constexpr int PLUG_DISPLAY_HEIGHT = 64;
constexpr uint32_t PLUG_DISPLAY_BYTES = PLUG_DISPLAY_WIDTH * PLUG_DISPLAY_HEIGHT / 8;
