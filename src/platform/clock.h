// Time sources the engines and the trace rely on.
#pragma once
#include <cstdint>

// Monotonic high-resolution counter and its ticks per second (nanoseconds here).
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
// Milliseconds since an arbitrary fixed point (monotonic).
uint64_t GetTickCount64();
// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CalendarTime();
void Sleep(uint32_t milliseconds);
