// The abort bookkeeping: an abort cancels what is in flight on its endpoint and does
// not return before each of those transfers has completed its record. libusb is
// played by a completer thread that finishes a transfer only once it was cancelled.
#include "usbhost/in_flight.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Stands in for libusb: a transfer's token holds its id; cancel requests are
// recorded and, once started, a thread completes each cancelled transfer through the
// same steps the backend's completion takes.
class FakeLibusb {
 public:
  using Id = InFlightTransfers::Id;
  explicit FakeLibusb(InFlightTransfers& table) : table_(table) {}
  ~FakeLibusb() { Stop(); }

  Id Submit(uint8_t endpoint) {
    Id* token = &tokens_.emplace_back(0);
    *token = table_.Add(endpoint, token);
    table_.Submitted(*token, Cancel());
    return *token;
  }

  void Start() {
    thread_ = std::thread([this] {
      for (;;) {
        std::unique_lock lock(lock_);
        woken_.wait(lock, [&] { return stop_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        const Id id = waiting_.front();
        waiting_.pop_front();
        lock.unlock();
        Complete(id);
      }
    });
  }
  void Stop() {
    {
      std::lock_guard lock(lock_);
      stop_ = true;
    }
    woken_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Complete(Id id) {
    table_.Finishing(id);
    completed_.fetch_add(1);  // the record's completion
    table_.Remove(id);
  }

  InFlightTransfers::CancelFunction Cancel() {
    return [this](void* transfer) {
      std::lock_guard lock(lock_);
      const Id id = *static_cast<Id*>(transfer);
      cancels_.push_back(id);
      waiting_.push_back(id);
      woken_.notify_all();
    };
  }
  std::vector<Id> Cancels() {
    std::lock_guard lock(lock_);
    return cancels_;
  }
  int Completed() const { return completed_.load(); }

 private:
  InFlightTransfers& table_;
  std::deque<Id> tokens_;  // stable addresses
  std::mutex lock_;
  std::condition_variable woken_;
  std::deque<Id> waiting_;
  std::vector<Id> cancels_;
  bool stop_ = false;
  std::atomic<int> completed_{0};
  std::thread thread_;
};

TEST(InFlight, AbortCancelsItsEndpointAndReturnsOnlyAfterEachCompleted) {
  InFlightTransfers table;
  FakeLibusb usb(table);
  usb.Start();
  const auto a = usb.Submit(0x81);
  const auto b = usb.Submit(0x81);
  const auto other = usb.Submit(0x02);

  table.CancelAndWait(0x81, usb.Cancel());
  // Both records were completed before the abort returned, the other endpoint's
  // transfer was left alone.
  EXPECT_EQ(usb.Completed(), 2);
  EXPECT_EQ(usb.Cancels(), (std::vector<FakeLibusb::Id>{a, b}));
  EXPECT_EQ(table.Count(0x81), 0u);
  EXPECT_EQ(table.Count(0x02), 1u);

  // Closing a handle: every endpoint.
  table.CancelAndWait(InFlightTransfers::kAllEndpoints, usb.Cancel());
  EXPECT_EQ(usb.Cancels().back(), other);
  EXPECT_EQ(table.Count(), 0u);
  // Nothing in flight: returns at once.
  table.CancelAndWait(0x81, usb.Cancel());
  EXPECT_EQ(usb.Cancels().size(), 3u);
}

TEST(InFlight, ACancelThatComesBeforeTheSubmissionEndsIsCarriedOutAfterIt) {
  InFlightTransfers table;
  FakeLibusb usb(table);
  // Added, not yet handed to libusb when the abort comes: nothing to cancel yet, but
  // the abort must wait for it, and its submission must cancel it.
  FakeLibusb::Id token = 0;
  token = table.Add(0x81, &token);
  int pumps = 0;
  table.CancelAndWait(0x81, usb.Cancel(), [&] {
    if (++pumps == 1) {
      EXPECT_TRUE(usb.Cancels().empty());
      table.Submitted(token, usb.Cancel());
      EXPECT_EQ(usb.Cancels(), (std::vector<FakeLibusb::Id>{token}));
    } else {
      usb.Complete(token);
    }
  });
  EXPECT_EQ(pumps, 2);
  EXPECT_EQ(table.Count(), 0u);
}

TEST(InFlight, ATransferThatFinishedBeforeItsSubmissionReturnedIsNotCancelled) {
  InFlightTransfers table;
  FakeLibusb usb(table);
  FakeLibusb::Id token = 0;
  token = table.Add(0x81, &token);
  usb.Complete(token);  // libusb completed it at once; its transfer is freed
  table.Submitted(token, usb.Cancel());
  EXPECT_TRUE(usb.Cancels().empty());
  EXPECT_EQ(table.Count(), 0u);
}

TEST(InFlight, TransfersSubmittedDuringAnAbortAreNotWaitedFor) {
  InFlightTransfers table;
  FakeLibusb usb(table);
  const auto early = usb.Submit(0x81);
  FakeLibusb::Id later = 0;
  int pumps = 0;
  table.CancelAndWait(0x81, usb.Cancel(), [&] {
    ++pumps;
    if (pumps == 1) {
      later = usb.Submit(0x81);
    } else if (pumps == 2) {
      usb.Complete(early);
    } else {
      // Still waiting: for the later transfer, which is wrong. End it so the test ends.
      ADD_FAILURE() << "the abort waits for a transfer submitted after it";
      usb.Complete(later);
    }
  });
  EXPECT_EQ(usb.Cancels(), (std::vector<FakeLibusb::Id>{early}));
  EXPECT_EQ(table.Count(0x81), 1u);
}

TEST(InFlight, TheEventThreadServesCompletionsWhileItWaits) {
  InFlightTransfers table;
  FakeLibusb usb(table);  // no thread: the waiter's pump is the only completer
  usb.Submit(0x81);
  usb.Submit(0x81);
  int pumps = 0;
  table.CancelAndWait(0x81, usb.Cancel(), [&] {
    ++pumps;
    const auto cancels = usb.Cancels();
    usb.Complete(cancels[usb.Completed()]);
  });
  EXPECT_EQ(pumps, 2);
  EXPECT_EQ(table.Count(), 0u);
}

}  // namespace
