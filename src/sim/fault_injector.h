// The faults the simulation options ask for: which transfer fails and how, what a
// corrupted transfer looks like, and the malformed descriptor sets a plug can be made
// to serve. Counting is per plug and per direction, on data endpoints only.
#pragma once
#include <cstdint>
#include <random>
#include <vector>

#include "sim/sim_options.h"

enum class Fault : uint8_t { None, Error, Short, Corrupt, Timeout, Stall };

// Whether any "every N" transfer fault is asked for; without one nothing is counted.
bool AnyTransferFaults(const SimOptions& options);

// The fault for the count-th transfer (from 1) of a direction. When several are due,
// the first of timeout, stall, error, short, corrupt wins; short reads and corruption
// hit IN transfers only.
Fault ChooseFault(const SimOptions& options, bool in, uint32_t count);

// A short read ends at half its length, in whole packets when there is room for one.
uint32_t ShortReadLength(uint32_t length, uint32_t packetBytes);

// Flips count bytes (at most length), spread evenly from a random start.
void CorruptData(std::mt19937& random, uint8_t* data, uint32_t length, uint32_t count);
// The same over the bytes an isochronous transfer's packets carried: packet i lies
// at i x slotBytes in data, its length in its IsoPacketResult record.
void CorruptPackets(std::mt19937& random, uint8_t* data, const uint8_t* records, uint32_t packets,
                    uint32_t slotBytes, uint32_t count);

// bad-config: the set claims to end, and ends, inside its last endpoint descriptor.
void BreakConfigurationSet(std::vector<uint8_t>& set, bool superSpeed);
// bad-bos: the second capability gets length 0.
void BreakBos(std::vector<uint8_t>& bos);
