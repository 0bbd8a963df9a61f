#include "engines/run_state.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(RunStateTest, SharedTextIsReadWholeWhileAnotherThreadWritesIt) {
  ResetRunState();
  const std::u16string shortText = u"LOOPBACK test - Complete";
  const std::u16string longText(200, u'#');
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) StatusText.Set((i % 2) ? shortText : longText);
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    const std::u16string seen = StatusText.Get();
    ASSERT_TRUE(seen.empty() || seen == shortText || seen == longText);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(StatusText.Get(), shortText);
}

}  // namespace
