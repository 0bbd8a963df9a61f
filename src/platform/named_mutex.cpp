#include "platform/named_mutex.h"

#include "platform/event.h"
#include "platform/win_error.h"

namespace {
// The mutex is lock 0 of a shared object with no memory.
constexpr uint32_t kMutexLock = 0;
}  // namespace

bool NamedMutex::Open(std::string_view name) {
  return object_.Open(name, 0);
}

uint32_t NamedMutex::Wait(uint32_t milliseconds) {
  if (!object_.IsOpen()) return WAIT_FAILED;
  return object_.Lock(kMutexLock, milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void NamedMutex::Release() {
  object_.Unlock(kMutexLock);
}
