// State shared between the window thread and the engine threads while a test runs.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Set to end the running test (Stop, duration limit, suspend, exit, fatal errors).
extern std::atomic<bool> TestStopped;
// Engine and transfer threads alive; exit waits for it to reach 0.
extern std::atomic<int32_t> RunningTestThreads;

// A line of text written by one thread and painted by another.
class SharedText {
 public:
  void Set(std::u16string_view text);
  std::u16string Get() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::u16string text_;
};

extern SharedText StatusText;   // e.g. "LOOPBACK test - Complete"
extern SharedText DeviceLabel;  // "Device: Plug-%d (...)"

// Ends the running test: sets TestStopped and clears the run's start time. The engine
// notices the flag, writes its results and restores the idle controls itself.
void StopTest();

// Back to the state at start-up (tests).
void ResetRunState();
