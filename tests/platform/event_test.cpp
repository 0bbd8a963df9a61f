#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
