// The option string that selects and shapes the simulated plugs: the text after
// "--simulate=" on the command line, comma-separated key=value items.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/speed_codes.h"

constexpr uint32_t SIM_MAX_PLUGS = 8;
constexpr size_t SIM_MAX_SERIAL_PREFIX = 15;  // + 4 digits keeps serials at 19 characters

struct SimOptions {
  uint32_t Plugs = 1;
  uint8_t Speed = SPEED_SUPER;  // the fastest the port offers the plug
  std::string SerialPrefix = "SIM";
  bool HasFirmware = true;
  uint8_t Firmware = 23;    // two digits: 23 is written as "FW Version V2.3"
  double RateMBps = 0.0;    // 2^20 bytes per second in each direction; 0 = per-speed defaults
  bool Unlimited = false;   // complete transfers as fast as the host asks
  uint32_t ReenumMs = 300;  // time off the bus after a configuration request
  uint32_t Seed = 1;

  // Faults: 0 = never. "Every N" counts per plug and per direction.
  uint32_t ReadErrorEvery = 0;
  uint32_t WriteErrorEvery = 0;
  uint32_t ShortReadEvery = 0;
  uint32_t CorruptEvery = 0;
  uint32_t CorruptBytes = 1;
  uint32_t TimeoutEvery = 0;  // both directions; the Read/Write forms one of them
  uint32_t ReadTimeoutEvery = 0;
  uint32_t WriteTimeoutEvery = 0;
  uint32_t StallEvery = 0;
  uint32_t ReadStallEvery = 0;
  uint32_t WriteStallEvery = 0;
  uint32_t PhyErrors = 0;  // per bus-error read
  uint32_t LinkErrors = 0;
  uint32_t PhyFlags = 0;
  uint32_t LinkFlags = 0;
  uint32_t RemoveAfterMs = 0;  // 0 = the plug stays
  bool NoReturn = false;
  bool BadConfig = false;
  bool BadBos = false;
};

struct SimOptionsResult {
  bool Ok = false;
  SimOptions Options;
  // Set when !Ok: names the bad key or value (cut to a few dozen characters) and lists
  // the valid keys.
  std::u16string Error;
};

SimOptionsResult ParseSimOptions(std::string_view text);

// "plugs, speed, serial, ..." for help texts.
std::u16string SimOptionKeyList();
