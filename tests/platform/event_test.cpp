#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/win_error.h"

TEST(Event, AutoResetIsConsumedManualResetStaysUntilReset) {
  Event autoReset(false, true);
  EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(&autoReset, 0), WAIT_TIMEOUT);
  Event manual(true, false);
  EXPECT_EQ(WaitForSingleObject(&manual, 5), WAIT_TIMEOUT);
  manual.Set();
  EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_OBJECT_0);
  manual.Reset();
  EXPECT_EQ(WaitForSingleObject(&manual, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForTwoObjects(&manual, nullptr, false, 0), WAIT_FAILED);
}

TEST(Event, WaitOnTwoConsumesOnlyWhatItReports) {
  Event a(false, false), b(false, false);
  b.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 0), 1u);
  EXPECT_FALSE(b.IsSet());
  a.Set();
  b.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 0), 0u);  // the first wins, the second stays
  EXPECT_FALSE(a.IsSet());
  EXPECT_TRUE(b.IsSet());
  // Waiting for both never takes one alone.
  b.Reset();
  a.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 5), WAIT_TIMEOUT);
  EXPECT_TRUE(a.IsSet());
  b.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(a.IsSet() || b.IsSet());
  // The same event twice is one event.
  a.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &a, true, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForTwoObjects(&a, &a, false, 0), WAIT_TIMEOUT);
  Event m(true, true), n(true, true);
  EXPECT_EQ(WaitForTwoObjects(&m, &n, true, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(m.IsSet() && n.IsSet());
}

TEST(Event, SleepingWaitsWakeOnASetFromAnotherThread) {
  Event a(false, false), b(false, false);
  std::thread setA([&] { a.Set(); });
  EXPECT_EQ(WaitForSingleObject(&a, INFINITE), WAIT_OBJECT_0);
  setA.join();
  EXPECT_FALSE(a.IsSet());
  std::thread setB([&] { b.Set(); });
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 5000), 1u);
  setB.join();
  EXPECT_FALSE(b.IsSet());
  a.Set();
  std::thread setLater([&] { b.Set(); });
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 5000), WAIT_OBJECT_0);
  setLater.join();
  EXPECT_FALSE(a.IsSet() || b.IsSet());

  Event manual(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(&manual, 5000) == WAIT_OBJECT_0) ++woken;
    });
  }
  manual.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(Event, ManySettersOneWaiterLosesNoSignal) {
  Event e(false, false);
  std::atomic<int> woken{0};
  std::thread waiter([&] {
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(WaitForSingleObject(&e, 5000), WAIT_OBJECT_0);
      ++woken;
    }
  });
  for (int i = 0; i < 1000; ++i) {
    while (e.IsSet()) std::this_thread::yield();  // auto-reset: one Set per wait
    e.Set();
  }
  waiter.join();
  EXPECT_EQ(woken.load(), 1000);
}

// Every round's two signals are taken exactly once each, whoever takes them, and a
// wait on both never takes one of them alone.
TEST(Event, WaitOnBothCompetesFairlyWithSingleWaits) {
  constexpr int kRounds = 500;
  Event a(false, false), b(false, false);
  std::atomic<int> takenA{0}, takenB{0};
  std::atomic<bool> stop{false};
  auto loop = [&](auto wait) {
    return std::thread([&, wait] {
      while (!stop.load()) wait();
    });
  };
  std::thread both = loop([&] {
    if (WaitForTwoObjects(&a, &b, true, 5) == WAIT_OBJECT_0) {
      ++takenA;
      ++takenB;
    }
  });
  std::thread onlyA = loop([&] { takenA += WaitForSingleObject(&a, 5) == WAIT_OBJECT_0; });
  std::thread onlyB = loop([&] { takenB += WaitForSingleObject(&b, 5) == WAIT_OBJECT_0; });
  // A lost signal would stall the rounds: give up after a while instead.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int round = 1; round <= kRounds; ++round) {
    a.Set();
    b.Set();
    while ((takenA.load() < round || takenB.load() < round) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    if (takenA.load() != round || takenB.load() != round) break;
  }
  stop = true;
  both.join();
  onlyA.join();
  onlyB.join();
  EXPECT_EQ(takenA.load(), kRounds);
  EXPECT_EQ(takenB.load(), kRounds);
}

// The waiter may free the event the moment its wait returns, however the wait met the
// Set; ASan and TSan watch that Set never touches it after that.
TEST(Event, WaiterMayFreeTheEventTheMomentItsWaitReturns) {
  constexpr int kRounds = 2000;
  std::atomic<Event*> handed{nullptr};
  std::atomic<int> failures{0};
  std::thread waiter([&] {
    for (int round = 0; round < kRounds; ++round) {
      Event* event;
      while ((event = handed.load()) == nullptr) std::this_thread::yield();
      handed.store(nullptr);
      if (WaitForSingleObject(event, 5000) != WAIT_OBJECT_0) ++failures;
      delete event;
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    auto* event = new Event(false, false);
    handed.store(event);
    while (handed.load() != nullptr) std::this_thread::yield();
    event->Set();
  }
  waiter.join();
  EXPECT_EQ(failures.load(), 0);
}
