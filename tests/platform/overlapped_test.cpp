#include "platform/overlapped.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win_error.h"

namespace {

// A driver's completion thread: completes each record it is handed and says when it
// has returned from the completion.
class Completer {
 public:
  Completer() : thread_([this] { Run(); }) {}
  ~Completer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void Complete(Overlapped* record, uint32_t bytes) {
    {
      std::lock_guard lock(mutex_);
      handed_ = record;
      bytes_ = bytes;
    }
    changed_.notify_all();
  }
  void WaitReturned() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return handed_ == nullptr; });
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return handed_ != nullptr || stop_; });
      if (stop_) return;
      Overlapped* record = handed_;
      const uint32_t bytes = bytes_;
      lock.unlock();
      CompleteOverlapped(record, ERROR_SUCCESS, bytes);
      lock.lock();
      handed_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Overlapped* handed_ = nullptr;
  uint32_t bytes_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Polls as CompleteTransfer does: flat out at first, to meet the completer inside its
// completion, then politely.
uint32_t PollUntilDone(Overlapped* record) {
  uint32_t bytes = 0, error = 0;
  for (int polls = 0; !GetOverlappedResult(record, &bytes, false, &error); ++polls) {
    if (error != ERROR_IO_INCOMPLETE) ADD_FAILURE() << "error " << error;
    if (polls > 100000) std::this_thread::yield();
  }
  return bytes;
}

constexpr int kRounds = 5000;

}  // namespace

TEST(Overlapped, ResultIsIncompleteUntilCompletedThenCarriesStatusAndCount) {
  Event e(false, false);
  Overlapped ov;
  ov.hEvent = &e;
  BeginOverlapped(&ov);
  uint32_t bytes = 77, error = 0;
  EXPECT_FALSE(GetOverlappedResult(&ov, &bytes, false, &error));
  EXPECT_EQ(error, ERROR_IO_INCOMPLETE);
  EXPECT_EQ(bytes, 77u);  // untouched while in flight
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CompleteOverlapped(&ov, ERROR_SUCCESS, 4096);
  });
  EXPECT_TRUE(GetOverlappedResult(&ov, &bytes, true, &error));
  EXPECT_EQ(bytes, 4096u);
  t.join();

  BeginOverlapped(&ov);
  EXPECT_FALSE(OverlappedSignalled(&ov));
  // A waiter that consumed the event before the status landed must not wait again.
  ov.Signalling = true;
  EXPECT_TRUE(OverlappedSignalled(&ov));
  BeginOverlapped(&ov);
  std::thread failing([&] { CompleteOverlapped(&ov, ERROR_OPERATION_ABORTED, 12); });
  EXPECT_EQ(WaitForSingleObject(&e, 5000), WAIT_OBJECT_0);
  failing.join();
  EXPECT_FALSE(GetOverlappedResult(&ov, &bytes, false, &error));
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(bytes, 12u);
  EXPECT_TRUE(OverlappedSignalled(&ov));
}

// A caller that sees the result frees the record and its event at once. The completer
// must be done with both by then: ASan and TSan watch that it never touches them again.
TEST(Overlapped, ResultSeenWithoutWaitingMeansTheCompleterHasLetGo) {
  Completer completer;
  for (int round = 0; round < kRounds; ++round) {
    auto event = std::make_unique<Event>(false, false);
    auto record = std::make_unique<Overlapped>();
    record->hEvent = event.get();
    BeginOverlapped(record.get());
    completer.Complete(record.get(), round);
    ASSERT_EQ(PollUntilDone(record.get()), uint32_t(round));
    record.reset();
    event.reset();
    completer.WaitReturned();
  }
}

// Seen without waiting, a result comes with its signal already given.
TEST(Overlapped, ResultSeenWithoutWaitingComesAfterTheSignal) {
  Completer completer;
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  for (int round = 0; round < kRounds; ++round) {
    BeginOverlapped(&record);
    completer.Complete(&record, round);
    ASSERT_EQ(PollUntilDone(&record), uint32_t(round));
    ASSERT_TRUE(event.IsSet()) << "result visible before the signal, round " << round;
    completer.WaitReturned();
  }
}

// Reused for the next request right after a result was seen without waiting, the
// record and its event carry no signal of the old request into the new one.
TEST(Overlapped, ReusedRecordCarriesNoStaleSignal) {
  Completer completer;
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  for (int round = 0; round < kRounds; ++round) {
    BeginOverlapped(&record);
    completer.Complete(&record, round);
    ASSERT_EQ(PollUntilDone(&record), uint32_t(round));
    BeginOverlapped(&record);
    completer.WaitReturned();
    ASSERT_EQ(WaitForSingleObject(&event, 0), WAIT_TIMEOUT) << "stale signal, round " << round;
  }
}

TEST(Overlapped, WokenWaiterAlwaysFindsTheResult) {
  Completer completer;
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  for (int round = 0; round < kRounds; ++round) {
    BeginOverlapped(&record);
    completer.Complete(&record, round);
    ASSERT_EQ(WaitForSingleObject(&event, 5000), WAIT_OBJECT_0);
    uint32_t bytes = 0, error = 0;
    ASSERT_TRUE(GetOverlappedResult(&record, &bytes, false, &error)) << "error " << error;
    ASSERT_EQ(bytes, uint32_t(round));
    completer.WaitReturned();
  }
}
