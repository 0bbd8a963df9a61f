#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/event.h"
#include "platform/win_error.h"

namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  void TearDown() override { SharedMemory::Remove(name_); }
  const std::string name_ = "tarnwick-test-" + std::to_string(getpid()) + "-mutex";
};

TEST_F(NamedMutexTest, OneHolderAtATime) {
  NamedMutex first, second;
  EXPECT_EQ(first.Wait(0), WAIT_FAILED);
  ASSERT_TRUE(first.Open(name_));
  EXPECT_FALSE(first.Existed());
  ASSERT_TRUE(second.Open(name_));
  EXPECT_TRUE(second.Existed());

  EXPECT_EQ(first.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(second.Wait(20), WAIT_TIMEOUT);
  first.Release();
  EXPECT_EQ(second.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(first.Wait(0), WAIT_TIMEOUT);
  second.Close();  // a holder that goes away releases it
  EXPECT_EQ(first.Wait(0), WAIT_OBJECT_0);
}

}  // namespace
