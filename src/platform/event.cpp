#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>
#include <utility>

#include "platform/win_error.h"

// Every event keeps its own lock and its own list of sleeping waiters, so a Set wakes
// only the threads waiting on that event. With one lock and one condition for the
// whole process, every Set woke every sleeping waiter: with eight threads each waiting
// on its own 64-deep queue a completion cost three to four times as much as with a
// minimal per-event lock and condition (bench/platform_bench); per-event waits cost no
// more than that reference, with one waiter or with eight.
//
// The state word holds the signal, the number of registered waiters and the number of
// Sets still waking them. While nobody is registered, Set and a single wait work on
// the word alone (one atomic operation each: the completion path, and the wait on a
// transfer that is already done). A wait that may have to sleep, and every wait on two
// events, takes the events' locks (in address order) and registers on each before it
// checks; signals are then taken only under the lock, so "either" takes exactly one and
// "both" never takes one without the other. A Set that finds waiters registered makes
// its signal visible and counts itself in one operation, then wakes them under the
// lock: a waiter still on its way to sleep sees the signal and does not sleep at all.
// A registered waiter returns only once no Set is still waking, so the caller may free
// the event the moment its wait returns. A sleeper sleeps on a condition of its own:
// with the event's lock when it waits on one event, with a lock of its own when it
// waits on two.

struct Event::Sleeper {
  // A waiter on one event sleeps with that event's lock, which then guards Notified;
  // a waiter on two events sleeps with Lock, its own.
  bool OnEventLock = false;
  std::mutex Lock;
  std::condition_variable Woken;
  bool Notified = false;
};

// One wait on one or two events. Locks and unlocks the events' locks in pairs the
// analysis cannot follow (one or two, in address order), hence the opt-outs.
class EventWait {
 public:
  EventWait(Event* first, Event* second, bool waitAll) : waitAll_(waitAll) {
    events_[0] = first;
    events_[1] = second;
    waited_ = second == nullptr ? 1 : 2;
    ordered_[0] = first;
    ordered_[1] = second;
    distinct_ = (waited_ == 2 && first != second) ? 2 : 1;
    if (distinct_ == 2 && std::less<Event*>{}(second, first)) std::swap(ordered_[0], ordered_[1]);
  }

  uint32_t Run(uint32_t milliseconds) {
    LockAll();
    Register();
    int which = TryTake();
    if (which < 0 && milliseconds != 0) which = Sleep(milliseconds);
    Unregister();
    UnlockAll();
    // A Set that showed its signal before taking the lock may still be waking: the
    // event must outlive it.
    for (int i = 0; i < distinct_; ++i) {
      while ((ordered_[i]->state_.load(std::memory_order_acquire) & Event::kSetterMask) != 0) {
        std::this_thread::yield();
      }
    }
    return which < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<uint32_t>(which);
  }

 private:
  using Clock = std::chrono::steady_clock;

  void LockAll() TW_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = 0; i < distinct_; ++i) ordered_[i]->lock_.lock();
  }
  void UnlockAll() TW_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = distinct_ - 1; i >= 0; --i) ordered_[i]->lock_.unlock();
  }

  static bool IsSignaled(const Event* event) {
    return (event->state_.load(std::memory_order_acquire) & Event::kSignaled) != 0;
  }
  static void Take(Event* event) {
    if (!event->manualReset_) event->state_.fetch_and(~Event::kSignaled, std::memory_order_acq_rel);
  }

  // With the locks held: the index of the event that ends the wait, or -1.
  int TryTake() {
    Event* first = events_[0];
    if (waited_ == 1) {
      if (!IsSignaled(first)) return -1;
      Take(first);
      return 0;
    }
    Event* second = events_[1];
    if (waitAll_) {
      if (!IsSignaled(first) || !IsSignaled(second)) return -1;
      Take(first);
      if (second != first) Take(second);
      return 0;
    }
    if (IsSignaled(first)) {
      Take(first);
      return 0;
    }
    if (IsSignaled(second)) {
      Take(second);
      return 1;
    }
    return -1;
  }

  // With the locks held. Registered, a waiter keeps the lock-free paths of Set and
  // of the single wait off its events: from here on a Set also comes through the lock
  // to wake it, so its signal is seen either by the next check or by the sleeper.
  void Register() TW_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = 0; i < distinct_; ++i) {
      Event* event = ordered_[i];
      Event::Link& link = links_[i];
      link.Who = &sleeper_;
      sleeper_.OnEventLock = distinct_ == 1;
      link.Prev = nullptr;
      link.Next = event->sleepers_;
      if (link.Next != nullptr) link.Next->Prev = &link;
      event->sleepers_ = &link;
      event->state_.fetch_add(Event::kSleeperUnit, std::memory_order_acq_rel);
    }
  }
  void Unregister() TW_NO_THREAD_SAFETY_ANALYSIS {
    for (int i = 0; i < distinct_; ++i) {
      Event* event = ordered_[i];
      Event::Link& link = links_[i];
      if (link.Prev != nullptr) {
        link.Prev->Next = link.Next;
      } else {
        event->sleepers_ = link.Next;
      }
      if (link.Next != nullptr) link.Next->Prev = link.Prev;
      event->state_.fetch_sub(Event::kSleeperUnit, std::memory_order_acq_rel);
    }
  }

  // Entered and left with the locks held and registered.
  int Sleep(uint32_t milliseconds) TW_NO_THREAD_SAFETY_ANALYSIS {
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    auto notified = [this] { return sleeper_.Notified; };
    int which;
    while ((which = TryTake()) < 0) {
      bool timedOut = false;
      if (sleeper_.OnEventLock) {
        std::unique_lock lock(ordered_[0]->lock_.native(), std::adopt_lock);
        if (forever) {
          sleeper_.Woken.wait(lock, notified);
        } else {
          timedOut = !sleeper_.Woken.wait_until(lock, deadline, notified);
        }
        sleeper_.Notified = false;
        lock.release();  // still held
      } else {
        UnlockAll();
        {
          std::unique_lock lock(sleeper_.Lock);
          if (forever) {
            sleeper_.Woken.wait(lock, notified);
          } else {
            timedOut = !sleeper_.Woken.wait_until(lock, deadline, notified);
          }
          sleeper_.Notified = false;
        }
        LockAll();
      }
      if (timedOut) return TryTake();
    }
    return which;
  }

  Event::Sleeper sleeper_;
  Event::Link links_[2];
  Event* events_[2];
  Event* ordered_[2];
  int waited_;
  int distinct_;
  bool waitAll_;
};

Event::Event(bool manualReset, bool initialState)
    : manualReset_(manualReset), state_(initialState ? kSignaled : 0) {}

void Event::Set() {
  uint32_t state = 0;  // the usual case; a wrong guess costs one more round
  bool alone;
  do {
    alone = (state & ~kSignaled) == 0;
  } while (!state_.compare_exchange_weak(
      state, alone ? (state | kSignaled) : ((state | kSignaled) + kSetterUnit),
      std::memory_order_acq_rel, std::memory_order_relaxed));
  if (alone) return;
  {
    TwLock lock(lock_);
    for (Link* link = sleepers_; link != nullptr; link = link->Next) {
      Sleeper* sleeper = link->Who;
      if (sleeper->OnEventLock) {
        sleeper->Notified = true;
      } else {
        std::lock_guard guard(sleeper->Lock);
        sleeper->Notified = true;
      }
      // Outside the sleeper's own lock, so that it does not wake into a held lock; it
      // cannot leave (and take its condition with it) before we release ours.
      sleeper->Woken.notify_one();
    }
  }
  state_.fetch_sub(kSetterUnit, std::memory_order_release);  // the last touch
}

void Event::Reset() {
  // Every submission resets its record's event, which is usually clear already: a
  // read is cheaper than a write to a line another thread may hold.
  if ((state_.load(std::memory_order_relaxed) & kSignaled) == 0) return;
  state_.fetch_and(~kSignaled, std::memory_order_acq_rel);
}

bool Event::IsSet() const {
  return (state_.load(std::memory_order_acquire) & kSignaled) != 0;
}

uint32_t WaitForSingleObject(Event* event, uint32_t milliseconds) {
  if (event == nullptr) return WAIT_FAILED;
  // Nobody registered and no Set waking: the signal can be taken (or found missing)
  // without the lock, and a signal seen here was stored by a Set that is done.
  if (event->manualReset_) {
    const uint32_t state = event->state_.load(std::memory_order_acquire);
    if (state == Event::kSignaled) return WAIT_OBJECT_0;
    if (state == 0 && milliseconds == 0) return WAIT_TIMEOUT;
  } else {
    uint32_t state = Event::kSignaled;  // the usual case; a wrong guess costs one more round
    while (state < Event::kSleeperUnit) {
      if (state == 0) {
        if (milliseconds == 0) return WAIT_TIMEOUT;
        break;
      }
      if (event->state_.compare_exchange_weak(state, 0, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
        return WAIT_OBJECT_0;
      }
    }
  }
  return EventWait(event, nullptr, false).Run(milliseconds);
}

uint32_t WaitForTwoObjects(Event* first, Event* second, bool waitAll, uint32_t milliseconds) {
  if (first == nullptr || second == nullptr) return WAIT_FAILED;
  return EventWait(first, second, waitAll).Run(milliseconds);
}
