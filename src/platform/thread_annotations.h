// Lock annotations for clang's -Wthread-safety (the clang build checks them; other
// compilers see nothing), and a plain mutex that carries them.
#pragma once
#include <mutex>

#if defined(__clang__)
#define TW_ATTRIBUTE(x) __attribute__((x))
#else
#define TW_ATTRIBUTE(x)
#endif

#define TW_CAPABILITY(name) TW_ATTRIBUTE(capability(name))
#define TW_SCOPED_CAPABILITY TW_ATTRIBUTE(scoped_lockable)
#define TW_GUARDED_BY(lock) TW_ATTRIBUTE(guarded_by(lock))
#define TW_REQUIRES(...) TW_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TW_EXCLUDES(...) TW_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TW_ACQUIRE(...) TW_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TW_RELEASE(...) TW_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TW_NO_THREAD_SAFETY_ANALYSIS TW_ATTRIBUTE(no_thread_safety_analysis)

// std::mutex as the analysis sees it. Meets BasicLockable.
class TW_CAPABILITY("mutex") TwMutex {
 public:
  void lock() TW_ACQUIRE() { mutex_.lock(); }
  void unlock() TW_RELEASE() { mutex_.unlock(); }
  // For a condition variable that waits with this lock held.
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

class TW_SCOPED_CAPABILITY TwLock {
 public:
  explicit TwLock(TwMutex& mutex) TW_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~TwLock() TW_RELEASE() { mutex_.unlock(); }
  TwLock(const TwLock&) = delete;
  TwLock& operator=(const TwLock&) = delete;

 private:
  TwMutex& mutex_;
};
