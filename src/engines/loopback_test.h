// The loopback test: 64 KiB written to the plug's OUT endpoint and read back from its
// IN endpoint, loop after loop, optionally verified, timed with the performance
// counter, with the plug's bus-error counters polled on request. Ends with a
// "RESULTS:" block in the event log.
#pragma once
#include <cstdint>

namespace ui {
class Window;
}

// Thread procedure, started with TestStopped clear. Ends when TestStopped is set, when
// the plug goes away, or at the first failed loop of firmware older than 22.
void LoopbackTestThread(ui::Window* mainWindow);

// Sleeps in one piece below 100 ms; longer pauses go in 100 ms slices and end early
// once TestStopped is set.
void ThrottleSleep(uint32_t milliseconds);
