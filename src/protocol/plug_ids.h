// Identity of the loopback plug on the bus: the one place that names it, shared by
// the program (discovery, path prefix), the plug's firmware model and its transports.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"

// Vendor and product ids from a range reserved for testing.
constexpr uint16_t PLUG_VENDOR_ID = 0x1209;
constexpr uint16_t PLUG_PRODUCT_ID = 0x000A;

// Device-interface class the plug's driver exposes.
inline const Guid PLUG_INTERFACE_CLASS = {
    0x05FC6C39, 0xECC3, 0x4441, {0x89, 0xC9, 0xEC, 0x98, 0x84, 0xC4, 0x11, 0x16}};

struct PlugId {
  uint16_t Vendor = 0;
  uint16_t Product = 0;
  bool operator==(const PlugId&) const = default;
};

// The one list of ids that mark a device as a plug: the project's own first, then
// those the user adds for real plugs built on other ids. Filled at start-up, before
// any other thread runs; read from anywhere.
std::vector<PlugId> PlugIds();
// False when the id is listed already.
bool AddPlugId(PlugId id);
bool IsPlugId(uint16_t vendor, uint16_t product);
// Back to the project's own id alone (tests).
void ResetPlugIds();

// "VVVV:PPPP", four hexadecimal digits each (either case); nullopt for anything else.
std::optional<PlugId> ParsePlugId(std::string_view text);
// "1209:000a"
std::string FormatPlugId(PlugId id);
