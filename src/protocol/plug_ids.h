// Identity of the loopback plug on the bus: the one place that names it, shared by
// the program (discovery, path prefix), the plug's firmware model and its transports.
#pragma once
#include <cstdint>

#include "platform/guid.h"

// Vendor and product ids from a range reserved for testing.
constexpr uint16_t PLUG_VENDOR_ID = 0x1209;
constexpr uint16_t PLUG_PRODUCT_ID = 0x000A;

// Device-interface class the plug's driver exposes.
inline const Guid PLUG_INTERFACE_CLASS = {
    0x05FC6C39, 0xECC3, 0x4441, {0x89, 0xC9, 0xEC, 0x98, 0x84, 0xC4, 0x11, 0x16}};
