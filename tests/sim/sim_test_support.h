// Shared by the simulated-plug tests: a port installed for the test's lifetime, a
// notice recorder, and plug requests through the real control endpoint.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/driver_port.h"
#include "platform/event.h"
#include "platform/overlapped.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"

inline SimOptions Options(const char* text) {
  SimOptionsResult result = ParseSimOptions(text);
  EXPECT_TRUE(result.Ok) << text;
  return result.Options;
}

class InstalledSim {
 public:
  explicit InstalledSim(const char* text) : port(std::make_unique<SimDriverPort>(Options(text))) {
    SetDriverPort(port.get());
  }
  ~InstalledSim() { SetDriverPort(nullptr); }
  std::unique_ptr<SimDriverPort> port;
};

// An overlapped record with its own event, for requests that are left pending.
struct PendingIo {
  PendingIo() { record.hEvent = &event; }
  bool Done() { return WaitForSingleObject(&event, 0) == WAIT_OBJECT_0; }
  Event event{false, false};
  Overlapped record;
};

class NoticeRecorder : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    notices_.push_back(notice);
    changed_.notify_all();
  }
  // Waits (bounded, so a broken build fails instead of hanging) until count notices came.
  std::vector<DeviceNotice> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return notices_.size() >= count; });
    return notices_;
  }
  std::vector<DeviceNotice> Snapshot() {
    std::lock_guard lock(mutex_);
    return notices_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeviceNotice> notices_;
};
