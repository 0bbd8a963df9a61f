// Kernel-style events: auto-reset (a successful wait consumes the signal) or
// manual-reset (stays signalled until Reset). The engines and the endpoint
// code wait on these exactly as they would on the original platform.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/thread_annotations.h"

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;
// WAIT_TIMEOUT (258) lives in win_error.h.

class Event {
 public:
  Event(bool manualReset, bool initialState);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // With no waiter registered, one atomic operation, which is also Set's last touch of
  // the event. Otherwise the same operation also counts the Set as still waking, and
  // no waiter returns (and lets the owner free the event) before that count is back
  // to zero.
  void Set();
  void Reset();
  // A peek for diagnostics and tests; only a wait consumes the signal.
  bool IsSet() const;

  struct Sleeper;  // one waiting thread, on its own stack

 private:
  friend class EventWait;
  friend uint32_t WaitForSingleObject(Event*, uint32_t);
  static constexpr uint32_t kSignaled = 1;
  static constexpr uint32_t kSleeperUnit = 2;        // bits 1..15: registered waiters
  static constexpr uint32_t kSetterUnit = 1u << 16;  // bits 16..31: Sets still waking them
  static constexpr uint32_t kSetterMask = ~(kSetterUnit - 1);

  const bool manualReset_;
  // Signal bit, registered waiters and Sets on their way to them in one word: a Set or
  // a wait that finds nobody there and a waiter that registers cannot miss each other.
  std::atomic<uint32_t> state_;
  TwMutex lock_;
  // Sleepers registered on this event (intrusive; the nodes live on their stacks).
  struct Link {
    Sleeper* Who = nullptr;
    Link* Prev = nullptr;
    Link* Next = nullptr;
  };
  Link* sleepers_ TW_GUARDED_BY(lock_) = nullptr;
};

// 0 when signalled, WAIT_TIMEOUT when the time ran out, WAIT_FAILED for a null event.
// milliseconds == INFINITE waits without limit.
uint32_t WaitForSingleObject(Event* event, uint32_t milliseconds);

// waitAll == false: returns 0 or 1, the index of the event that ended the wait (the
// first one when both are set); only that event is consumed.
// waitAll == true: returns 0 once both are set at the same moment; both are consumed
// together, never one without the other.
uint32_t WaitForTwoObjects(Event* first, Event* second, bool waitAll, uint32_t milliseconds);
