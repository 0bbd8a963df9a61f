#include "platform/overlapped.h"

#include <chrono>
#include <thread>

#include "platform/win_error.h"

void BeginOverlapped(Overlapped* record) {
  record->Finisher = nullptr;
  record->Signalling.store(false, std::memory_order_relaxed);
  record->BytesTransferred.store(0, std::memory_order_relaxed);
  record->Status.store(ERROR_IO_PENDING, std::memory_order_release);
  if (record->hEvent != nullptr) record->hEvent->Reset();
}

void CompleteOverlapped(Overlapped* record, uint32_t error, uint32_t bytes) {
  Event* event = record->hEvent;
  record->BytesTransferred.store(bytes, std::memory_order_relaxed);
  record->Signalling.store(true, std::memory_order_release);
  if (event != nullptr) event->Set();
  record->Status.store(error, std::memory_order_release);
}

bool GetOverlappedResult(Overlapped* record, uint32_t* bytes, bool wait, uint32_t* error) {
  if (record == nullptr) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  uint32_t status = record->Status.load(std::memory_order_acquire);
  if (status == ERROR_IO_PENDING && wait && record->hEvent != nullptr) {
    while (!record->Signalling.load(std::memory_order_acquire)) {
      WaitForSingleObject(record->hEvent, 10);
    }
  }
  if (status == ERROR_IO_PENDING && record->Signalling.load(std::memory_order_acquire)) {
    // The completer is inside Set or just past it; the status is its next store.
    while ((status = record->Status.load(std::memory_order_acquire)) == ERROR_IO_PENDING) {
      std::this_thread::yield();
    }
  }
  if (status == ERROR_IO_PENDING) {
    if (error) *error = ERROR_IO_INCOMPLETE;
    return false;
  }
  if (bytes) *bytes = record->BytesTransferred.load(std::memory_order_relaxed);
  if (status != ERROR_SUCCESS) {
    if (error) *error = status;
    return false;
  }
  if (error) *error = ERROR_SUCCESS;
  return true;
}

bool OverlappedSignalled(const Overlapped* record) {
  return record->Status.load(std::memory_order_acquire) != ERROR_IO_PENDING ||
         record->Signalling.load(std::memory_order_acquire);
}

uint32_t WaitForOverlapped(Overlapped* record, uint32_t milliseconds) {
  if (record == nullptr) return WAIT_FAILED;
  if (record->Finisher == nullptr ||
      record->Status.load(std::memory_order_acquire) != ERROR_IO_PENDING) {
    return WaitForSingleObject(record->hEvent, milliseconds);
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const uint64_t startNs = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count());
  const uint64_t deadlineNs =
      milliseconds == INFINITE ? UINT64_MAX : startNs + uint64_t{milliseconds} * 1'000'000;
  record->Finisher->FinishOnWaiter(record, deadlineNs);
  if (milliseconds == INFINITE) return WaitForSingleObject(record->hEvent, INFINITE);
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  const uint32_t left = spent >= milliseconds ? 0 : milliseconds - static_cast<uint32_t>(spent);
  return WaitForSingleObject(record->hEvent, left);
}
