#include "ui/headless/message_loop.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace ui::headless {

void MessageLoop::Pump(const std::function<bool()>& done) {
  ++depth_;
  auto stop = [&] { return quit_.load() || (done && done()); };
  for (;;) {
    // Read before the timers are looked at: a timer set after this wakes the wait below.
    const uint64_t generation = thread_.Generation();
    const std::optional<UiThread::TimePoint> deadline = QueueDueTicks();
    if (UiThread::Work work = thread_.Next(stop, generation, deadline)) {
      work();
      continue;
    }
    if (stop()) break;
  }
  --depth_;
}

int MessageLoop::Run() {
  UiThread::Serving serving(thread_);
  Pump(nullptr);
  const int code = quitCode_.load();
  quit_ = false;
  for (UiThread::Work& work : serving.Finish()) work();
  return code;
}

void MessageLoop::Quit(int code) {
  quitCode_ = code;
  quit_ = true;
  thread_.Wake();
}

int64_t MessageLoop::NowLocked() const {
  if (manual_) return manualNow_;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::vector<MessageLoop::TimerKey> MessageLoop::TakeDueLocked(int64_t now) {
  std::vector<TimerKey> ticks;
  for (auto& [key, entry] : timers_) {
    if (entry.due > now) continue;
    entry.due += entry.period;
    if (entry.due <= now) entry.due = now + entry.period;
    ticks.push_back(key);
  }
  return ticks;
}

void MessageLoop::PostTicks(const std::vector<TimerKey>& ticks) {
  for (const TimerKey& key : ticks) {
    thread_.Post([this, key] {
      Window* window = nullptr;
      {
        std::lock_guard lock(timerLock_);
        auto it = timers_.find(key);
        if (it == timers_.end()) return;  // killed meanwhile
        window = it->second.window;
      }
      Message message;
      message.kind = MessageKind::Timer;
      message.id = key.second;
      window->SendMessage(message);
    });
  }
}

std::optional<UiThread::TimePoint> MessageLoop::QueueDueTicks() {
  std::vector<TimerKey> ticks;
  int64_t next = INT64_MAX;
  {
    std::lock_guard lock(timerLock_);
    if (manual_) return std::nullopt;
    ticks = TakeDueLocked(NowLocked());
    for (const auto& [key, entry] : timers_) next = std::min(next, entry.due);
  }
  PostTicks(ticks);
  if (next == INT64_MAX) return std::nullopt;
  return UiThread::TimePoint(std::chrono::milliseconds(next));
}

void MessageLoop::SetTimer(Window* window, int32_t id, uint32_t milliseconds) {
  {
    std::lock_guard lock(timerLock_);
    timers_[{window, id}] = {window, milliseconds, NowLocked() + milliseconds};
  }
  thread_.Wake();
}

void MessageLoop::KillTimer(const Window* window, int32_t id) {
  std::lock_guard lock(timerLock_);
  timers_.erase({window, id});
}

void MessageLoop::KillTimersOf(const Window* window) {
  std::lock_guard lock(timerLock_);
  std::erase_if(timers_, [window](const auto& timer) { return timer.first.first == window; });
}

bool MessageLoop::TimerActive(const Window* window, int32_t id) const {
  std::lock_guard lock(timerLock_);
  return timers_.contains({window, id});
}

void MessageLoop::SetManualTimers(bool manual) {
  {
    std::lock_guard lock(timerLock_);
    manual_ = manual;
    manualNow_ = 0;
    timers_.clear();
  }
  thread_.Wake();
}

void MessageLoop::AdvanceTime(uint32_t milliseconds) {
  std::vector<TimerKey> ticks;
  {
    std::lock_guard lock(timerLock_);
    if (!manual_) return;
    const int64_t target = manualNow_ + milliseconds;
    // Step from tick to tick so that each timer fires as often as its period says.
    for (;;) {
      int64_t next = INT64_MAX;
      for (const auto& [key, entry] : timers_) next = std::min(next, entry.due);
      if (next > target) break;
      manualNow_ = next;
      for (const TimerKey& key : TakeDueLocked(next)) ticks.push_back(key);
    }
    manualNow_ = target;
  }
  PostTicks(ticks);
}

}  // namespace ui::headless
