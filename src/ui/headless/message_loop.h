// The headless message loop and its timers: serves the user-interface thread's queue,
// nests for modal dialogs and held message boxes, and turns due timers into Timer
// messages. Timers run on real time, or, for tests, on a clock that only AdvanceTime
// moves.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ui/headless/ui_thread.h"
#include "window/window.h"

namespace ui::headless {

class MessageLoop {
 public:
  explicit MessageLoop(UiThread& thread) : thread_(thread) {}

  // Serves the queue and the due timers on the calling thread, which must be the
  // user-interface thread, until done() holds (may be empty) or the loop quits.
  void Pump(const std::function<bool()>& done);
  // The outer loop: the calling thread becomes the user-interface thread until Quit;
  // returns the quit code. Callers still waiting on the user-interface thread are
  // released: their work still runs, here.
  int Run();
  // Ends every loop on the user-interface thread, the nested ones first.
  void Quit(int code);
  int32_t Depth() const { return depth_.load(); }

  // A periodic timer of a window (a second SetTimer with the same id restarts it). Each
  // tick sends the window a Timer message on the user-interface thread, unless the timer
  // was killed before the tick came to run; missed ticks coalesce into one.
  void SetTimer(Window* window, int32_t id, uint32_t milliseconds);
  void KillTimer(const Window* window, int32_t id);
  void KillTimersOf(const Window* window);
  bool TimerActive(const Window* window, int32_t id) const;
  // Manual time starts at 0 and moves only with AdvanceTime; switching either way
  // drops every timer.
  void SetManualTimers(bool manual);
  // Manual time: every tick due on the way, in the order of the due times.
  void AdvanceTime(uint32_t milliseconds);

 private:
  struct TimerEntry {
    Window* window;
    uint32_t period;
    int64_t due;  // milliseconds
  };
  using TimerKey = std::pair<const Window*, int32_t>;

  int64_t NowLocked() const;
  // With timerLock_ held: moves every timer due at `now` on, and says which ticked.
  std::vector<TimerKey> TakeDueLocked(int64_t now);
  void PostTicks(const std::vector<TimerKey>& ticks);
  // Real time: queues what is due; the time the next timer is due, if any.
  std::optional<UiThread::TimePoint> QueueDueTicks();

  UiThread& thread_;
  std::atomic<bool> quit_{false};
  std::atomic<int> quitCode_{0};
  std::atomic<int32_t> depth_{0};

  mutable std::mutex timerLock_;
  std::map<TimerKey, TimerEntry> timers_;  // guarded by timerLock_
  bool manual_ = false;                    // guarded by timerLock_
  int64_t manualNow_ = 0;                  // guarded by timerLock_
};

}  // namespace ui::headless
