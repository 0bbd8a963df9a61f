// The waits and pauses the engines take, in one place. The program keeps these values;
// tests shorten them so that a time-out case takes milliseconds, not seconds.
#pragma once
#include <cstdint>

#include "platform/clock.h"

struct EngineTimingRecord {
  uint32_t WorkerTransferWaitMs = 2000;   // benchmark worker: one queued transfer
  uint32_t WorkerDrainWaitMs = 1500;      // benchmark worker: one aborted transfer
  uint32_t WorkerRecoveryPauseMs = 1000;  // benchmark worker: after abort and reset
  uint32_t BlockWaitMs = 2000;            // controller: a block of the active worker
  uint32_t EitherBlockWaitMs = 4000;      // controller in Read and Write: either block
  uint32_t ReadTurnEndWaitMs = 5000;      // controller in Read then Write: hand-overs
  uint32_t WriteTurnEndWaitMs = 1000;
  uint32_t WorkersEndWaitMs = 10000;  // controller: both workers finished
  // Every pause an engine takes (the 100 ms settling pauses, throttling, recovery).
  void (*Pause)(uint32_t milliseconds) = Sleep;
};

extern EngineTimingRecord EngineTiming;

void ResetEngineTiming();
