// Cross-thread calls of the headless window system: one queue of work for the
// user-interface thread, and which thread that is. Work posted from any thread runs there
// in order; Invoke waits for its work. When no thread serves the queue, the caller
// stands in for the user-interface thread, so nothing ever waits for a loop that is not
// there.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace ui::headless {

class UiThread {
 public:
  using Work = std::function<void()>;
  using TimePoint = std::chrono::steady_clock::time_point;

  // Runs work on the user-interface thread later (from any thread, that one included).
  void Post(Work work);
  // Runs work on the user-interface thread and waits for it: at once on that thread,
  // on the calling thread when nobody serves the queue.
  void Invoke(const std::function<void()>& work);
  bool IsUiThread() const;
  // Whether a loop serves the queue.
  bool Served() const;

  // The calling thread serves the queue for the life of this object: the outer loop, or
  // a caller standing in while no loop runs. One thread serves at a time; the same
  // thread may nest. On the way out the work still queued is handed over (Finish) or
  // run (destructor), so threads waiting in Invoke are released, never stranded.
  class Serving {
   public:
    // Waits while another thread serves.
    explicit Serving(UiThread& thread);
    // Serves only if nobody else does; Owns() tells.
    Serving(UiThread& thread, std::try_to_lock_t);
    ~Serving();
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;
    bool Owns() const { return owns_; }
    // Ends the serving now; the work left behind, to be run by the caller (which still
    // counts as the user-interface thread until this object is gone).
    std::deque<Work> Finish();

   private:
    UiThread& thread_;
    bool owns_ = false;
    bool nested_ = false;
    bool finished_ = false;
  };

  // Wakes the serving thread so it looks at the state again (a timer changed, a modal
  // dialog ended, a box was answered). Each wake moves the generation on.
  void Wake();
  uint64_t Generation() const;
  // The next work item for the serving thread. Empty when stop() holds (checked under
  // the queue's lock, so a Wake after the change is never missed), when a Wake came
  // after `generation` was read, or at the deadline.
  Work Next(const std::function<bool()>& stop, uint64_t generation,
            std::optional<TimePoint> deadline);
  // The oldest queued work without waiting; empty when there is none.
  Work TryTake();

 private:
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Work> queue_;   // guarded by lock_
  uint64_t generation_ = 0;  // guarded by lock_
  bool served_ = false;      // guarded by lock_
  std::atomic<std::thread::id> thread_{};
};

}  // namespace ui::headless
