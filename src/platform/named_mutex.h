// A mutex shared by name between the processes of one user. The system releases it
// when its holder ends, however it ends, so a crashed holder cannot wedge the others.
#pragma once
#include <cstdint>
#include <string_view>

#include "platform/shared_memory.h"

class NamedMutex {
 public:
  // Creates the mutex or opens the existing one, not owned.
  bool Open(std::string_view name);
  void Close() { object_.Close(); }
  bool IsOpen() const { return object_.IsOpen(); }
  // Some other opener had the mutex open already (this is not the first user).
  bool Existed() const { return object_.IsOpen() && !object_.StartedFresh(); }

  // WAIT_OBJECT_0 once held, WAIT_TIMEOUT when the time ran out, WAIT_FAILED when not
  // open. Waits do not nest: one Release frees the mutex.
  uint32_t Wait(uint32_t milliseconds);
  void Release();

 private:
  SharedMemory object_;
};
