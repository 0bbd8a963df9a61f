// The overlapped record of an asynchronous driver request: owned by the caller,
// completed by the driver port with a status and a byte count. The order of a
// completion is the contract every backend relies on (driver_port.h): the event is
// signalled first and the result made visible last, so that a caller who sees the
// result may free or reuse the record and its event at once.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/event.h"

struct Overlapped;

// Offered by a backend that knows when a request will complete: the waiting thread
// finishes the request itself at that time, instead of the completer finishing it and
// then waking the waiter, whose wake-up would be added to every synchronous transfer.
class OverlappedFinisher {
 public:
  // Called by the thread about to wait for record. When the request will be due by
  // deadlineNs (steady clock), waits for that time on this thread and completes it;
  // otherwise returns at once and leaves it to the backend.
  virtual void FinishOnWaiter(Overlapped* record, uint64_t deadlineNs) = 0;

 protected:
  ~OverlappedFinisher() = default;
};

struct Overlapped {
  Event* hEvent = nullptr;
  // Completion status as a system error code; ERROR_IO_PENDING until the completer
  // has let go of the record and its event.
  std::atomic<uint32_t> Status{0};
  std::atomic<uint32_t> BytesTransferred{0};
  // Raised by the completer just before it signals the event: whoever wakes on the
  // event finds the status following within a few instructions.
  std::atomic<bool> Signalling{false};
  // Set by the backend while it submits the request, before its call returns; the tag
  // is the backend's own (where it keeps the request).
  OverlappedFinisher* Finisher = nullptr;
  uint32_t FinisherTag = 0;
};

// Driver-port side: marks the record in flight and clears its event, before the
// request can complete (a signal left from the record's previous use would otherwise
// end the next wait early) ...
void BeginOverlapped(Overlapped* record);
// ... and completes it: the count is stored, the event set, and then the status made
// visible, the completer's last touch of the record and its event.
void CompleteOverlapped(Overlapped* record, uint32_t error, uint32_t bytes);

// Collects the result. Without wait, a request still in flight answers false with
// ERROR_IO_INCOMPLETE; one whose completer is already signalling is waited for the
// few instructions it needs. A completed request reports its byte count, and true only
// when its status is 0 (else false with the status as error).
bool GetOverlappedResult(Overlapped* record, uint32_t* bytes, bool wait, uint32_t* error);

// True once the completer has signalled the record: its status is visible or follows
// within a few instructions (GetOverlappedResult with wait collects it). A waiter that
// has consumed the record's auto-reset event asks this, not the status, whether to wait
// again: waiting again for an event already consumed waits for nothing.
bool OverlappedSignalled(const Overlapped* record);

// Waits up to milliseconds (INFINITE: no limit) for the record's event, letting the
// backend finish the request on this thread when it offers to. Answers as
// WaitForSingleObject does.
uint32_t WaitForOverlapped(Overlapped* record, uint32_t milliseconds);
