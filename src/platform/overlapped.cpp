#include "platform/overlapped.h"

#include "platform/win_error.h"

void BeginOverlapped(Overlapped* record) {
  record->BytesTransferred.store(0, std::memory_order_relaxed);
  record->Status.store(ERROR_IO_PENDING, std::memory_order_release);
}

void CompleteOverlapped(Overlapped* record, uint32_t error, uint32_t bytes) {
  Event* event = record->hEvent;  // read first: the owner may reuse the record once done
  record->BytesTransferred.store(bytes, std::memory_order_relaxed);
  record->Status.store(error, std::memory_order_release);
  if (event != nullptr) event->Set();
}

bool GetOverlappedResult(Overlapped* record, uint32_t* bytes, bool wait, uint32_t* error) {
  if (record == nullptr) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  uint32_t status = record->Status.load(std::memory_order_acquire);
  if (status == ERROR_IO_PENDING && wait && record->hEvent != nullptr) {
    while ((status = record->Status.load(std::memory_order_acquire)) == ERROR_IO_PENDING) {
      WaitForSingleObject(record->hEvent, 10);
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
