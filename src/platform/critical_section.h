// A lock with critical-section semantics: re-entrant on the owning thread.
// Meets BasicLockable, so std::lock_guard works with it.
#pragma once
#include <mutex>

class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};
