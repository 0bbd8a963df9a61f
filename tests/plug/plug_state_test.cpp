#include <gtest/gtest.h>

#include <thread>

#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "protocol/device_path.h"

namespace {

TEST(PlugStateTest, DevicePathPrefixIsTheProtocolsOne) {
  const auto prefix = PlugDevicePathPrefix();
  EXPECT_EQ(DevicePathPrefix, Widen8(std::string(prefix.begin(), prefix.end())));
}

TEST(PlugStateTest, DisplayImageIsNeverSeenHalfWritten) {
  ResetPlugMonitorState();
  PlugDisplayBitmap dark, light;
  dark.fill(0xAA);
  light.fill(0x55);
  std::atomic<bool> done{false};
  std::thread monitor([&] {
    for (int i = 0; i < 2000; ++i) {
      PlugDisplayImage.Store((i % 2) ? dark : light);
      if (i % 100 == 0) PlugDisplayImage.Clear();
    }
    PlugDisplayImage.Store(dark);
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    const PlugDisplayBitmap seen = PlugDisplayImage.Load();
    for (uint8_t byte : seen) ASSERT_EQ(byte, seen[0]) << "mixed image after " << reads << " reads";
    ++reads;
  }
  monitor.join();
  EXPECT_EQ(PlugDisplayImage.Load(), dark);
  PlugDisplayImage.Clear();
  EXPECT_EQ(PlugDisplayImage.Load(), PlugDisplayBitmap{});
}

}  // namespace
