#include "platform/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

// ctest runs tests in parallel processes: names carry the process id.
std::string TestName(const char* what) {
  return "tarnwick-test-" + std::to_string(getpid()) + "-" + what;
}

class SharedObjectTest : public ::testing::Test {
 protected:
  void TearDown() override { SharedMemory::Remove(name_); }
  const std::string name_ = TestName("shm");
};

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

TEST_F(SharedObjectTest, ContentLastsOnlyWhileSomeoneHasItOpen) {
  SharedMemory first, second, third;
  ASSERT_TRUE(first.Open(name_, 100));
  EXPECT_TRUE(first.StartedFresh());
  ASSERT_EQ(first.View().size(), 100u);
  EXPECT_TRUE(AllZero(first.View()));
  first.View()[99] = 7;

  ASSERT_TRUE(second.Open(name_, 100));
  EXPECT_FALSE(second.StartedFresh());
  EXPECT_EQ(second.View()[99], 7);
  first.Close();
  ASSERT_TRUE(third.Open(name_, 100));  // second still has it
  EXPECT_FALSE(third.StartedFresh());
  EXPECT_EQ(third.View()[99], 7);

  second.Close();
  third.Close();
  ASSERT_TRUE(first.Open(name_, 100));
  EXPECT_TRUE(first.StartedFresh());
  EXPECT_TRUE(AllZero(first.View()));
}

TEST_F(SharedObjectTest, PrivateToTheUser) {
  // Left behind readable by everyone: taken back to this user alone.
  const std::string systemName = SharedMemory::SystemName(name_);
  const int fd = shm_open(systemName.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0666), 0);
  SharedMemory memory;
  ASSERT_TRUE(memory.Open(name_, 8));
  struct stat info {};
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
  memory.Close();

  // Planted by another user: refused. Only a privileged test run can plant one.
  if (geteuid() == 0) {
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    EXPECT_FALSE(memory.Open(name_, 8));
  }
  close(fd);
  EXPECT_FALSE(memory.Open("no/slashes", 8));
}

TEST_F(SharedObjectTest, LocksBelongToTheirOpener) {
  SharedMemory first, second;
  ASSERT_TRUE(first.Open(name_, 0));
  ASSERT_TRUE(second.Open(name_, 0));
  EXPECT_TRUE(first.View().empty());

  EXPECT_TRUE(first.TryLock(3));
  EXPECT_TRUE(first.TryLock(3));  // again: still one lock, one holder
  EXPECT_FALSE(first.IsLockedElsewhere(3));
  EXPECT_TRUE(second.IsLockedElsewhere(3));
  EXPECT_FALSE(second.TryLock(3));
  EXPECT_FALSE(second.IsLockedElsewhere(4));
  EXPECT_TRUE(second.TryLock(4));

  first.Unlock(3);
  EXPECT_FALSE(second.IsLockedElsewhere(3));
  EXPECT_TRUE(first.TryLock(SharedMemory::MaxLockIndex));
  EXPECT_FALSE(first.TryLock(SharedMemory::MaxLockIndex + 1));
  first.Close();  // drops every lock it held
  EXPECT_TRUE(second.TryLock(SharedMemory::MaxLockIndex));
}

}  // namespace
