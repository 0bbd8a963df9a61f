// What the plug's device controller answers on endpoint 0 without asking the
// firmware: the standard requests (descriptors, status, configuration, interface,
// endpoint halt), from the descriptor sets it was given at enumeration.
#pragma once
#include <cstdint>

#include "protocol/usb_standard.h"
#include "sim/sim_options.h"
#include "sim/sim_plug.h"

// The sets the plug serves at the model's current speed, with the bad-config and
// bad-bos faults applied when asked for.
ServedDescriptors ServeDescriptors(const PlugModel& model, const SimOptions& options);

// A standard request: true with *length reply bytes in data (IN) or taken (OUT);
// false when the request stalls.
bool HandleStandardRequest(SimPlug& plug, const SetupPacket& setup, uint8_t* data,
                           uint32_t* length);
