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

UiThread::Serving::Serving(UiThread& thread)
    : thread_(thread), previous_(thread.thread_.load()), wasServed_(false) {
  thread_.thread_ = std::this_thread::get_id();
  std::lock_guard lock(thread_.lock_);
  wasServed_ = thread_.served_;
  thread_.served_ = true;
}

std::deque<UiThread::Work> UiThread::Serving::Finish() {
  std::deque<Work> rest;
  if (finished_) return rest;
  finished_ = true;
  {
    std::lock_guard lock(thread_.lock_);
    thread_.served_ = wasServed_;
    if (!wasServed_) rest.swap(thread_.queue_);
  }
  thread_.wake_.notify_all();
  return rest;
}

UiThread::Serving::~Serving() {
  for (Work& work : Finish()) work();
  thread_.thread_ = previous_;
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
