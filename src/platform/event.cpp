#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/win_error.h"

namespace {
// One lock and one condition for every event: waiting on two events at once
// (either or both, consumed atomically) stays trivially correct. Every consumer of
// a signal holds the lock; Set does not need it unless somebody is waiting, so a
// completion with nobody waiting costs two atomic operations.
std::mutex g_lock;
std::condition_variable g_changed;
std::atomic<int> g_waiters{0};

template <typename Ready>
uint32_t WaitUntil(uint32_t milliseconds, Ready ready) {
  std::unique_lock lock(g_lock);
  if (ready()) return WAIT_OBJECT_0;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  // Announced before the last check under the lock: a Set that misses the count
  // stored its signal early enough for that check (both sides are sequentially
  // consistent), and one that sees it notifies under the lock, after we sleep.
  g_waiters.fetch_add(1);
  bool ok;
  if (milliseconds == INFINITE) {
    g_changed.wait(lock, ready);
    ok = true;
  } else {
    ok = g_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
  }
  g_waiters.fetch_sub(1);
  return ok ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// Consumes the signal of an auto-reset event; the caller holds g_lock.
bool Take(std::atomic<bool>& signaled, bool manualReset) {
  if (!signaled.load()) return false;
  if (!manualReset) signaled.store(false);
  return true;
}
}  // namespace

Event::Event(bool manualReset, bool initialState)
    : manualReset_(manualReset), signaled_(initialState) {}

void Event::Set() {
  signaled_.store(true);
  if (g_waiters.load() > 0) {
    std::lock_guard lock(g_lock);
    g_changed.notify_all();
  }
}

void Event::Reset() { signaled_.store(false); }

bool Event::IsSet() const { return signaled_.load(); }

uint32_t WaitForSingleObject(Event* event, uint32_t milliseconds) {
  if (event == nullptr) return WAIT_FAILED;
  return WaitUntil(milliseconds, [event] { return Take(event->signaled_, event->manualReset_); });
}

uint32_t WaitForTwoObjects(Event* first, Event* second, bool waitAll, uint32_t milliseconds) {
  if (first == nullptr || second == nullptr) return WAIT_FAILED;
  int which = -1;
  uint32_t result = WaitUntil(milliseconds, [&] {
    if (waitAll) {
      // Signals only appear outside the lock, never vanish: checking both, then
      // taking both, cannot take one without the other.
      if (!(first->signaled_.load() && second->signaled_.load())) return false;
      Take(first->signaled_, first->manualReset_);
      Take(second->signaled_, second->manualReset_);
      which = 0;
      return true;
    }
    if (Take(first->signaled_, first->manualReset_)) {
      which = 0;
      return true;
    }
    if (Take(second->signaled_, second->manualReset_)) {
      which = 1;
      return true;
    }
    return false;
  });
  if (result != WAIT_OBJECT_0) return result;
  return WAIT_OBJECT_0 + static_cast<uint32_t>(which);
}
