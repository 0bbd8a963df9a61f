#include "ui/headless/ui_thread.h"

#include <utility>

namespace ui::headless {

void UiThread::Post(Work work) {
  {
    std::lock_guard lock(lock_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_all();
}

void UiThread::Invoke(const std::function<void()>& work) {
  if (IsUiThread()) {
    work();
    return;
  }
  std::unique_lock lock(lock_);
  if (!served_) {
    lock.unlock();
    work();
    return;
  }
  bool done = false;
  queue_.push_back([&] {
    work();
    {
      std::lock_guard doneLock(lock_);
      done = true;
    }
    wake_.notify_all();
  });
  wake_.notify_all();
  wake_.wait(lock, [&] { return done; });
}

bool UiThread::IsUiThread() const {
  return thread_.load() == std::this_thread::get_id();
}

bool UiThread::Served() const {
  std::lock_guard lock(lock_);
  return served_;
}

UiThread::Serving::Serving(UiThread& thread) : thread_(thread) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(thread_.lock_);
  if (thread_.served_ && thread_.thread_.load() == self) {
    owns_ = nested_ = true;
    return;
  }
  thread_.wake_.wait(lock, [&] { return !thread_.served_; });
  thread_.served_ = true;
  thread_.thread_ = self;
  owns_ = true;
}

UiThread::Serving::Serving(UiThread& thread, std::try_to_lock_t) : thread_(thread) {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard lock(thread_.lock_);
  if (thread_.served_) {
    owns_ = nested_ = thread_.thread_.load() == self;
    return;
  }
  thread_.served_ = true;
  thread_.thread_ = self;
  owns_ = true;
}

std::deque<UiThread::Work> UiThread::Serving::Finish() {
  std::deque<Work> rest;
  if (!owns_ || nested_ || finished_) return rest;
  finished_ = true;
  {
    std::lock_guard lock(thread_.lock_);
    thread_.served_ = false;
    rest.swap(thread_.queue_);
  }
  thread_.wake_.notify_all();
  return rest;
}

UiThread::Serving::~Serving() {
  if (!owns_ || nested_) return;
  for (Work& work : Finish()) work();
  // Unless a new server has taken over meanwhile, nobody is the user-interface thread.
  std::thread::id self = std::this_thread::get_id();
  thread_.thread_.compare_exchange_strong(self, std::thread::id{});
}

void UiThread::Wake() {
  {
    std::lock_guard lock(lock_);
    ++generation_;
  }
  wake_.notify_all();
}

uint64_t UiThread::Generation() const {
  std::lock_guard lock(lock_);
  return generation_;
}

UiThread::Work UiThread::Next(const std::function<bool()>& stop, uint64_t generation,
                              std::optional<TimePoint> deadline) {
  std::unique_lock lock(lock_);
  if (stop()) return {};
  if (queue_.empty() && generation_ == generation) {
    // One wait only: whatever woke us, the caller looks at timers and stop() again.
    if (deadline) {
      wake_.wait_until(lock, *deadline);
    } else {
      wake_.wait(lock);
    }
    if (stop()) return {};
  }
  if (queue_.empty()) return {};
  Work work = std::move(queue_.front());
  queue_.pop_front();
  return work;
}

UiThread::Work UiThread::TryTake() {
  std::lock_guard lock(lock_);
  if (queue_.empty()) return {};
  Work work = std::move(queue_.front());
  queue_.pop_front();
  return work;
}

}  // namespace ui::headless
