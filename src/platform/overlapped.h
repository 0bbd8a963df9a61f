// The overlapped record of an asynchronous driver request: owned by the caller,
// completed by the driver port with a status and a byte count, then its event set.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/event.h"

struct Overlapped {
  Event* hEvent = nullptr;
  // Completion status as a system error code; ERROR_IO_PENDING while in flight.
  std::atomic<uint32_t> Status{0};
  std::atomic<uint32_t> BytesTransferred{0};
};

// Driver-port side: marks the record in flight (before the request is queued) ...
void BeginOverlapped(Overlapped* record);
// ... and completes it: status and count become visible, then the event is set.
void CompleteOverlapped(Overlapped* record, uint32_t error, uint32_t bytes);

// Collects the result. Without wait, a request still in flight answers false with
// ERROR_IO_INCOMPLETE. A completed request reports its byte count, and true only when
// its status is 0 (else false with the status as error).
bool GetOverlappedResult(Overlapped* record, uint32_t* bytes, bool wait, uint32_t* error);
