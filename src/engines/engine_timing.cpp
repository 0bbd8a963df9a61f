#include "engines/engine_timing.h"

EngineTimingRecord EngineTiming;

void ResetEngineTiming() {
  EngineTiming = EngineTimingRecord{};
}
