#include "ui/qt/gui_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <utility>

namespace ui::qt {
namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

GuiQueue::GuiQueue() = default;

GuiQueue::~GuiQueue() {
  // Whatever the windows were to do is moot now; a thread still waiting is let go.
  {
    std::lock_guard lock(lock_);
    open_ = false;
    for (Item& item : queue_) {
      if (item.done != nullptr) *item.done = true;
    }
    queue_.clear();
  }
  finished_.notify_all();
}

bool GuiQueue::IsGuiThread() const {
  return QThread::currentThread() == thread();
}

void GuiQueue::WakeLocked() {
  if (wakePosted_) return;
  wakePosted_ = true;
  QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
}

void GuiQueue::Post(std::function<void()> work) {
  std::lock_guard lock(lock_);
  queue_.push_back({std::move(work), nullptr});
  WakeLocked();
}

bool GuiQueue::Invoke(const std::function<void()>& work) {
  if (IsGuiThread()) {
    work();
    return true;
  }
  std::unique_lock lock(lock_);
  if (!open_) return false;
  bool done = false;
  queue_.push_back({work, &done});
  WakeLocked();
  finished_.wait(lock, [&] { return done; });
  return true;
}

void GuiQueue::RunItem(Item& item) {
  if (item.work) item.work();
  if (item.done == nullptr) return;
  {
    std::lock_guard lock(lock_);
    *item.done = true;
  }
  finished_.notify_all();
}

bool GuiQueue::event(QEvent* event) {
  // The lock comes first: a wake-up event is made under it on the posting thread, and
  // Qt's own hand-over of the event is not one the thread sanitizer can see.
  std::unique_lock lock(lock_);
  if (event->type() != kWakeEvent) {
    lock.unlock();
    return QObject::event(event);
  }
  // One item per wake-up: an item that runs a nested loop (a modal dialog) leaves the
  // rest to that loop, which gets a wake-up of its own.
  wakePosted_ = false;
  if (queue_.empty()) return true;
  Item item = std::move(queue_.front());
  queue_.pop_front();
  if (!queue_.empty()) WakeLocked();
  lock.unlock();
  RunItem(item);
  return true;
}

void GuiQueue::Open() {
  std::lock_guard lock(lock_);
  open_ = true;
}

void GuiQueue::Close() {
  std::deque<Item> rest;
  {
    std::lock_guard lock(lock_);
    open_ = false;
    rest.swap(queue_);
  }
  for (Item& item : rest) RunItem(item);
}

bool GuiQueue::IsOpen() const {
  std::lock_guard lock(lock_);
  return open_;
}

size_t GuiQueue::Queued() const {
  std::lock_guard lock(lock_);
  return queue_.size();
}

}  // namespace ui::qt
