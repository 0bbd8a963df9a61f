// Recordings of the simulated plug through the hostile port: the hostile-device fuzz
// target's seeds, and the check that a recording replays as the plug it recorded.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "hostile_port.h"

struct HostileRecording {
  std::string Name;             // the seed's file name
  std::vector<uint8_t> Script;  // the answers, as the fuzz target reads them
  HostileSession Session;       // what the session came to while recording
};

// One session with a simulated plug (options as for ParseSimOptions) that was first
// sent the 14-byte configuration block, when one is given, and came back.
HostileRecording RecordSimulatedPlug(const std::string& name, const std::string& options,
                                     const std::vector<uint8_t>& configuration);

// The seeds: the loopback layout at each speed, isochronous reads and writes, bulk in
// both directions, and a plug whose firmware has no version.
std::vector<HostileRecording> RecordSeedSessions();
