#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/win_error.h"

namespace {
// One lock and one condition for every event: waiting on two events at once
// (either or both, consumed atomically) stays trivially correct, and a Set with
// nobody waiting costs one uncontended lock.
std::mutex g_lock;
std::condition_variable g_changed;
int g_waiters = 0;

template <typename Ready>
uint32_t WaitUntil(uint32_t milliseconds, Ready ready) {
  std::unique_lock lock(g_lock);
  if (ready()) return WAIT_OBJECT_0;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  ++g_waiters;
  bool ok;
  if (milliseconds == INFINITE) {
    g_changed.wait(lock, ready);
    ok = true;
  } else {
    ok = g_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
  }
  --g_waiters;
  return ok ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
}  // namespace

Event::Event(bool manualReset, bool initialState)
    : manualReset_(manualReset), signaled_(initialState) {}

void Event::Set() {
  std::lock_guard lock(g_lock);
  signaled_ = true;
  if (g_waiters > 0) g_changed.notify_all();
}

void Event::Reset() {
  std::lock_guard lock(g_lock);
  signaled_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(g_lock);
  return signaled_;
}

uint32_t WaitForSingleObject(Event* event, uint32_t milliseconds) {
  if (event == nullptr) return WAIT_FAILED;
  // The check and the consumption of an auto-reset signal happen under one lock.
  return WaitUntil(milliseconds, [event] {
    if (!event->signaled_) return false;
    if (!event->manualReset_) event->signaled_ = false;
    return true;
  });
}

uint32_t WaitForTwoObjects(Event* first, Event* second, bool waitAll, uint32_t milliseconds) {
  if (first == nullptr || second == nullptr) return WAIT_FAILED;
  int which = -1;
  uint32_t result = WaitUntil(milliseconds, [&] {
    if (waitAll) {
      if (!(first->signaled_ && second->signaled_)) return false;
      if (!first->manualReset_) first->signaled_ = false;
      if (!second->manualReset_) second->signaled_ = false;
      which = 0;
      return true;
    }
    if (first->signaled_) {
      if (!first->manualReset_) first->signaled_ = false;
      which = 0;
      return true;
    }
    if (second->signaled_) {
      if (!second->manualReset_) second->signaled_ = false;
      which = 1;
      return true;
    }
    return false;
  });
  if (result != WAIT_OBJECT_0) return result;
  return WAIT_OBJECT_0 + static_cast<uint32_t>(which);
}
