#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

int64_t QueryPerformanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t QueryPerformanceFrequency() { return 1000000000; }

uint64_t GetTickCount64() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int64_t CalendarTime() { return static_cast<int64_t>(std::time(nullptr)); }

void Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
