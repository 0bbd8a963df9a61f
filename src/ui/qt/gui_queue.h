// Work for the GUI thread from any thread. Qt's own posted events carry only a wake-up;
// the work itself waits in a queue of ours under a standard mutex, so every hand-over
// between threads is one that the thread sanitizer can see.
//
// While the queue is open, Invoke from another thread waits until the GUI thread has run
// the work. Close (the event loop has ended) runs what is still queued, there and then,
// and from then on Invoke from other threads returns at once without running its work:
// a thread blocked on a window call is never stranded by a loop that is gone.
#pragma once
#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace ui::qt {

class GuiQueue : public QObject {
 public:
  // Lives on the thread that creates it, which must be the GUI thread.
  GuiQueue();
  // Drops the work still queued, unrun, and lets any caller waiting for it go.
  ~GuiQueue() override;

  // Runs work on the GUI thread later, in order, from any thread (that one included).
  void Post(std::function<void()> work);
  // Runs work on the GUI thread and waits for it: at once on that thread. False when the
  // work was not run because the queue is closed.
  bool Invoke(const std::function<void()>& work);
  bool IsGuiThread() const;

  // GUI thread only. Open: cross-thread calls are served (the state from construction).
  void Open();
  // Runs the work still queued, on the calling GUI thread, and refuses later Invokes
  // from other threads until Open.
  void Close();
  bool IsOpen() const;
  // Work waiting to run (for tests that need a caller to be waiting before they go on).
  size_t Queued() const;

 protected:
  bool event(QEvent* event) override;

 private:
  struct Item {
    std::function<void()> work;
    bool* done = nullptr;  // an Invoke's flag, guarded by lock_
  };
  void RunItem(Item& item);
  // With lock_ held: asks for a wake-up event unless one is on its way.
  void WakeLocked();

  mutable std::mutex lock_;
  std::condition_variable finished_;
  std::deque<Item> queue_;   // guarded by lock_
  bool wakePosted_ = false;  // guarded by lock_
  bool open_ = true;         // guarded by lock_
};

}  // namespace ui::qt
