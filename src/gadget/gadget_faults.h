// Faults the gadget transport injects into its own transfers, named as the simulated
// plug names its faults, for end-to-end runs that must see errors on a real bus.
// Counting is per direction, on the data endpoints only, and restarts at every
// enumeration. A device cannot make the bus corrupt a packet, so a failed transfer
// is a stalled one here; the host clears the halt as after any stall.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

enum class GadgetFault : uint8_t { None, Error, Short, Corrupt };

struct GadgetFaults {
  uint32_t ReadErrorEvery = 0;   // the Nth IN transfer stalls instead of sending its data
  uint32_t WriteErrorEvery = 0;  // the Nth OUT transfer stalls
  uint32_t ShortReadEvery = 0;   // the Nth IN transfer ends at half its length
  uint32_t CorruptEvery = 0;     // bytes of the Nth IN transfer flipped
  uint32_t CorruptBytes = 1;
  bool Any() const { return ReadErrorEvery || WriteErrorEvery || ShortReadEvery || CorruptEvery; }
};

struct GadgetFaultsResult {
  bool Ok = false;
  GadgetFaults Faults;
  std::string Error;  // names the bad item and lists the valid keys
};

// "read-error-every=5,corrupt-every=3,corrupt-bytes=4"
GadgetFaultsResult ParseGadgetFaults(std::string_view text);
std::string GadgetFaultKeyList();

// The fault of the count-th transfer (from 1) of a direction; error wins over short,
// short over corrupt, as in the simulated plug.
GadgetFault ChooseGadgetFault(const GadgetFaults& faults, bool in, uint32_t count);

// A short transfer's length: half, in whole packets when there is room for one.
uint32_t ShortTransferLength(uint32_t length, uint32_t packetBytes);
