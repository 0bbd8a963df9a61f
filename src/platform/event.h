// Kernel-style events: auto-reset (a successful wait consumes the signal) or
// manual-reset (stays signalled until Reset). The engines and the endpoint
// code wait on these exactly as they would on the original platform.
#pragma once
#include <atomic>
#include <cstdint>

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;
// WAIT_TIMEOUT (258) lives in win_error.h.

class Event {
 public:
  Event(bool manualReset, bool initialState);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

 private:
  friend uint32_t WaitForSingleObject(Event*, uint32_t);
  friend uint32_t WaitForTwoObjects(Event*, Event*, bool, uint32_t);
  const bool manualReset_;
  std::atomic<bool> signaled_;  // set anywhere; consumed only under the wait lock
};

// 0 when signalled, WAIT_TIMEOUT when the time ran out, WAIT_FAILED for a null event.
// milliseconds == INFINITE waits without limit.
uint32_t WaitForSingleObject(Event* event, uint32_t milliseconds);

// waitAll == false: returns 0 or 1, the index of the event that ended the wait (the
// first one when both are set); only that event is consumed.
// waitAll == true: returns 0 once both are set at the same moment; both are consumed
// together, never one without the other.
uint32_t WaitForTwoObjects(Event* first, Event* second, bool waitAll, uint32_t milliseconds);
