#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/win_error.h"

TEST(Event, AutoResetIsConsumedByOneWait) {
  Event e(false, true);
  EXPECT_EQ(WaitForSingleObject(&e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(&e, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(e.IsSet());
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Event e(true, false);
  EXPECT_EQ(WaitForSingleObject(&e, 5), WAIT_TIMEOUT);
  e.Set();
  EXPECT_EQ(WaitForSingleObject(&e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(&e, 0), WAIT_OBJECT_0);
  e.Reset();
  EXPECT_EQ(WaitForSingleObject(&e, 0), WAIT_TIMEOUT);
}

TEST(Event, NullEventFails) {
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  Event e(false, false);
  EXPECT_EQ(WaitForTwoObjects(&e, nullptr, false, 0), WAIT_FAILED);
}

TEST(Event, SetFromAnotherThreadWakesInfiniteWait) {
  Event e(false, false);
  std::thread t([&] { e.Set(); });
  EXPECT_EQ(WaitForSingleObject(&e, INFINITE), WAIT_OBJECT_0);
  t.join();
  EXPECT_FALSE(e.IsSet());
}

TEST(Event, WaitAnyReportsWhichAndConsumesOnlyThat) {
  Event a(false, false), b(false, false);
  b.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 0), 1u);
  EXPECT_FALSE(b.IsSet());
  a.Set();
  b.Set();
  // Both set: the first one wins and the second stays signalled.
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 0), 0u);
  EXPECT_FALSE(a.IsSet());
  EXPECT_TRUE(b.IsSet());
}

TEST(Event, WaitAllNeverConsumesOneWithoutTheOther) {
  Event a(false, false), b(false, false);
  a.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 5), WAIT_TIMEOUT);
  EXPECT_TRUE(a.IsSet());  // still there: nothing consumed by the failed wait
  b.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());
}

TEST(Event, WaitAllOnManualResetEventsLeavesThemSet) {
  Event a(true, true), b(true, true);
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(a.IsSet());
  EXPECT_TRUE(b.IsSet());
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

TEST(Event, SleepingTwoEventWaitsEndOnTheRightEvent) {
  Event a(false, false), b(false, false);
  std::thread setB([&] { b.Set(); });
  EXPECT_EQ(WaitForTwoObjects(&a, &b, false, 5000), 1u);
  setB.join();
  EXPECT_FALSE(b.IsSet());

  // Both: the one set early stays until the other comes, then both go together.
  a.Set();
  std::thread setLater([&] { b.Set(); });
  EXPECT_EQ(WaitForTwoObjects(&a, &b, true, 5000), WAIT_OBJECT_0);
  setLater.join();
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());

  // The same event twice is one event.
  a.Set();
  EXPECT_EQ(WaitForTwoObjects(&a, &a, true, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForTwoObjects(&a, &a, false, 0), WAIT_TIMEOUT);
}

TEST(Event, ManualResetWakesEverySleeper) {
  Event e(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(&e, 5000) == WAIT_OBJECT_0) ++woken;
    });
  }
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(e.IsSet());
}

// One waiter on both events against one waiter on each: every round's two signals are
// taken exactly once each, whoever takes them, and a wait on both never takes one of
// them alone.
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
  std::thread onlyA = loop([&] {
    if (WaitForSingleObject(&a, 5) == WAIT_OBJECT_0) ++takenA;
  });
  std::thread onlyB = loop([&] {
    if (WaitForSingleObject(&b, 5) == WAIT_OBJECT_0) ++takenB;
  });
  // A signal lost by a wait would stall the rounds: give up after a while instead.
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
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());
}

// The thread that waits for an event may free it the moment its wait returns, however
// the wait met the Set: already given, given while it was getting ready to sleep, or
// waking it. ASan and TSan watch that Set never touches the event after that.
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
    event->Set();  // not touched after this: the waiter owns it now
  }
  waiter.join();
  EXPECT_EQ(failures.load(), 0);
}
