// The event-log lines for the flag bits of a bus-error report: one line per kind of
// USB 3.0 physical-layer or link-layer error the plug saw.
#pragma once
#include <cstdint>
#include <vector>

// The line for each set flag bit, in bit order. Physical-layer bits above 8 and
// link-layer bits above 14 mean nothing; the 8b/10b line (bit 0) needs the firmware that
// first counts that kind.
std::vector<const char16_t*> PhysicalLayerFlagLines(uint32_t flags, int32_t firmwareNumber);
std::vector<const char16_t*> LinkLayerFlagLines(uint32_t flags);
