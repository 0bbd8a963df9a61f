#include "platform/overlapped.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/win_error.h"

TEST(Overlapped, PendingRecordIsIncompleteWithoutWait) {
  Event e(false, false);
  Overlapped ov;
  ov.hEvent = &e;
  BeginOverlapped(&ov);
  uint32_t bytes = 77, error = 0;
  EXPECT_FALSE(GetOverlappedResult(&ov, &bytes, false, &error));
  EXPECT_EQ(error, ERROR_IO_INCOMPLETE);
  EXPECT_EQ(bytes, 77u);  // untouched while in flight
}

TEST(Overlapped, CompletionSetsEventAndReportsCount) {
  Event e(false, false);
  Overlapped ov;
  ov.hEvent = &e;
  BeginOverlapped(&ov);
  std::thread t([&] { CompleteOverlapped(&ov, ERROR_SUCCESS, 4096); });
  EXPECT_EQ(WaitForSingleObject(&e, 5000), WAIT_OBJECT_0);
  t.join();
  uint32_t bytes = 0, error = 1;
  EXPECT_TRUE(GetOverlappedResult(&ov, &bytes, false, &error));
  EXPECT_EQ(bytes, 4096u);
  EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST(Overlapped, FailedCompletionReportsStatusAndStillTheCount) {
  Overlapped ov;
  BeginOverlapped(&ov);
  CompleteOverlapped(&ov, ERROR_OPERATION_ABORTED, 12);
  uint32_t bytes = 0, error = 0;
  EXPECT_FALSE(GetOverlappedResult(&ov, &bytes, false, &error));
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(bytes, 12u);
}

TEST(Overlapped, WaitingFormBlocksUntilComplete) {
  Event e(false, false);
  Overlapped ov;
  ov.hEvent = &e;
  BeginOverlapped(&ov);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CompleteOverlapped(&ov, ERROR_SUCCESS, 5);
  });
  uint32_t bytes = 0, error = 0;
  EXPECT_TRUE(GetOverlappedResult(&ov, &bytes, true, &error));
  EXPECT_EQ(bytes, 5u);
  t.join();
}
