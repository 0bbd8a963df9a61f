// Stands in for the plug monitor's pauses so a test walks the thread pass by pass: the
// monitor blocks in each pause until the test lets it go, and every pause it asked
// for is on record. While the monitor sits in a pause, nothing it owns moves.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

class MonitorPauseGate {
 public:
  // The monitor's side.
  void Pause(uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    pauses_.push_back(milliseconds);
    const size_t mine = pauses_.size();
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ >= mine; });
  }

  // Lets the monitor out of the pause the test saw last (none at first) and waits,
  // bounded, until it sits in the next one. The length of that pause, or 0 when none
  // came.
  uint32_t Next() {
    std::unique_lock lock(mutex_);
    released_ = std::max(released_, seen_);
    changed_.notify_all();
    if (!changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return pauses_.size() > seen_; })) {
      return 0;
    }
    return pauses_[seen_++];
  }

  // The monitor runs on without stopping (for the end of a test).
  void Open() {
    std::lock_guard lock(mutex_);
    released_ = std::numeric_limits<size_t>::max();
    changed_.notify_all();
  }

  size_t Count() const {
    std::lock_guard lock(mutex_);
    return pauses_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint32_t> pauses_;
  size_t released_ = 0;
  size_t seen_ = 0;
};
